// The signals that cardbox does not leave to their default action, and the stop
// signals it holds back while clients are told that their records were taken.
#pragma once

#include <csignal>

// The signals whose default action ends the server, held back from just before records
// are written out until their clients have been told, so that a stop lands before a
// record is out (its client is reset) or after its client was told (closed normally),
// never in between. A signal that comes meanwhile takes effect when the hold ends.
// Faults and the broken-pipe signal are not held. The hold never spans a wait: the
// writes inside it never wait for room.
struct stop_signals_held {
    sigset_t previous;
    stop_signals_held();
    stop_signals_held(const stop_signals_held&) = delete;
    stop_signals_held& operator=(const stop_signals_held&) = delete;
    ~stop_signals_held();
};

// Writing past the limit on file size then fails with EFBIG, an output failure like a
// full disk, instead of ending the server by a signal with its records' clients unsure.
void ignore_file_size_signal();

// From now on SIGHUP asks the server to reopen its output file (and reload what it
// reloads) between two writes, instead of ending it. Blocking calls it interrupts
// return EINTR.
void catch_reload_signal();

// True, once, when SIGHUP came since the last time it was asked.
bool reload_asked();
