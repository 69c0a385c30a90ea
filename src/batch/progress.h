// The status line on a terminal's standard error: counts, rate and time left
// of the batch, redrawn on its events, cleared before every printed line.
#pragma once

namespace fw::batch::progress {

// The start of a batch: every count back to zero; the line is shown from now
// on when `wanted`, standard error is a terminal with a file descriptor (and,
// at each draw, at least a few columns wide), and standard output is no pipe
// or socket, whose reader could write to the terminal over the line.
// `walks`: the recursive mode, whose folders are counted; `resume`: skipped
// files are counted.
// Main's calls return false (an error set) only for an interrupt: a console
// that cannot take the line turns the line off, and the batch goes on.
bool start(bool wanted, bool walks, bool resume);

// main's events, while no worker runs.
bool folders_found(long total);                   // the walk is done
bool folder_started();                            // its listing begins
bool folder_queued(long listed, long skipped);    // its files go to the workers
bool folder_done();                               // its workers are joined

// The workers' events, under `lock`. They never fail: always true.
bool file_done();
bool file_given_up();

// The line cleared and turned off: at the end of main, however it ends, and
// before its last prompt. An error pending is kept; false when the clear was
// interrupted (the interrupt pending, with that error as its context).
bool stop();

}  // namespace fw::batch::progress
