// Background threads (decrypt workers, the dispatch loop, the task runner) make
// way for the window for real. The toolkit's "low priority" start hint does
// nothing under Linux's normal scheduling policy, so each such thread raises its
// own nice value (setpriority on its thread id) as it begins.
#pragma once

namespace ThreadPriority {
// How many nice steps a background thread stays below the process's main thread.
inline constexpr int kBackgroundSteps = 10;
// The highest nice value the system knows.
inline constexpr int kLowestNice = 19;

// Gives the calling thread the nice value of the main thread plus
// kBackgroundSteps (at most kLowestNice). It only ever lowers the thread's
// priority: a thread already nicer than that (a program started with nice)
// keeps its value, so calling it twice changes nothing. Returns the thread's
// nice value afterwards.
int lowerCurrentThread();

// The nice value the calling thread runs with.
int currentNice();
// The nice value a background thread of this process is given.
int backgroundNice();
} // namespace ThreadPriority
