#pragma once

// Resource identifiers, shared by qj570-rs232.rc and the Win32 window.
#define IDI_QJ570 1
