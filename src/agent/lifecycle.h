// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

// Every way the agent ends goes through here. The log is taken for good before the closing
// lines, so no other thread writes a line between them or after them; the process then ends
// once every line is out, without global clean-up, since another thread may still be working.
namespace lifecycle {

// Writes lastLines (the caller's log lines) as the last lines of the log and ends the process
// with status.
[[noreturn]] void end(int status, const std::function<void()> &lastLines);

// The exit handler of the watcher's exitAgent: "exit agent.", then status 0. Runs on the
// watcher's thread and never waits for the main thread, which may be inside a long call.
[[noreturn]] void exitHandler();

} // namespace lifecycle
