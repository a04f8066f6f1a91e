// The signals that cardbox does not leave to their default action, and the stop
// signals it holds back while clients are told that their records were taken.
#pragma once

#include <csignal>

// Makes the signals whose default action ends the server (a stop: SIGTERM, SIGINT and
// the like, but not faults, nor the broken-pipe signal) end it as they would anyway,
// except while held back. Signals ignored when the server started stay ignored.
void catch_stop_signals();

// Holds back stop signals from just before records are written out until their
// clients have been told, so that a stop lands before a record is out (its client is
// reset) or after its client was told (closed normally), never in between. A stop that
// comes meanwhile ends the server, by that signal, when the hold ends. The hold never
// spans a wait: the writes inside it never wait for room. It costs no system call.
struct stop_signals_held {
    stop_signals_held();
    stop_signals_held(const stop_signals_held&) = delete;
    stop_signals_held& operator=(const stop_signals_held&) = delete;
    ~stop_signals_held();
};

// Writing past the limit on file size then fails with EFBIG, an output failure like a
// full disk, instead of ending the server by a signal with its records' clients unsure.
void ignore_file_size_signal();

// Over TLS, OpenSSL writes to a connection whose client may have gone: SIGPIPE would
// end the server for one client. It is ignored then; the output's reader going away
// is then an output failure (status 1), as a full disk is.
void ignore_broken_pipe_signal();

// From now on SIGHUP asks the server to reopen its output file (and reload what it
// reloads) between two writes, instead of ending it. Blocking calls it interrupts
// return EINTR. (After catch_stop_signals, which would take SIGHUP for a stop.)
void catch_reload_signal();

// Holds SIGHUP back from the loop's last look at reload_waiting to its wait, whose
// mask (signals_let_in_while_waiting) lets it in: one that comes in between ends the
// wait at once, instead of lying there until a client wakes the loop. Only there: a
// wait that finds events ready takes no signal, so a busy loop would never take it.
struct reload_held_to_wait {
    reload_held_to_wait();
    reload_held_to_wait(const reload_held_to_wait&) = delete;
    reload_held_to_wait& operator=(const reload_held_to_wait&) = delete;
    ~reload_held_to_wait();
};

// True when SIGHUP came and the loop has not yet taken it (reload_asked).
bool reload_waiting();

// The signal mask for the loop's wait: SIGHUP let in once it is caught; nullptr
// before, for the mask as it is.
const sigset_t* signals_let_in_while_waiting();

// True, once, when SIGHUP came since the last time it was asked.
bool reload_asked();
