#include "app/main_window.h"

int main() {
  qj570::app::Form1 form1;
  form1.Show();
  return form1.Run();
}
