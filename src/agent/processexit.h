// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Ends the process with status once every log line written so far is out. No other thread
// can write a line after the caller's last one, and no global clean-up runs while another
// thread may still be working.
[[noreturn]] void endProcess(int status);
