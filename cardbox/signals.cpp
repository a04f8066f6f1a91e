#include "signals.hpp"

#include "tally.hpp"

#include <algorithm>
#include <array>
#include <atomic>

namespace {

volatile std::sig_atomic_t reload_signalled = 0;
sigset_t reload_only;
sigset_t mask_while_waiting;
bool reload_caught = false;
volatile std::sig_atomic_t holding = 0;
volatile std::sig_atomic_t held = 0;  // the stop that came while held, or 0

extern "C" void note_reload(int /*signal*/) { reload_signalled = 1; }

// Ends the process by the signal, with its default action: inside the handler, once
// the handler returns.
void end_by(int signal)
{
    write_tally_at_stop();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

extern "C" void stop(int signal)
{
    if (holding != 0)
        held = signal;
    else
        end_by(signal);
}

// True for the signals whose default action ends the process without a fault.
bool is_stop(int signal)
{
    constexpr std::array others{SIGKILL, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT, SIGCHLD, SIGURG, SIGWINCH,
                                SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,  SIGTRAP, SIGSYS,  SIGABRT, SIGPIPE, SIGXFSZ};
    return std::find(others.begin(), others.end(), signal) == others.end();
}

}  // namespace

void catch_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = stop;
    action.sa_flags = SA_RESTART;
    sigfillset(&action.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction before {};
        if (!is_stop(signal) || sigaction(signal, nullptr, &before) == -1 || before.sa_handler != SIG_DFL)
            continue;
        sigaction(signal, &action, nullptr);
    }
}

stop_signals_held::stop_signals_held()
{
    holding = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

stop_signals_held::~stop_signals_held()
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    holding = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (held != 0) end_by(held);
}

void ignore_file_size_signal() { std::signal(SIGXFSZ, SIG_IGN); }

void ignore_broken_pipe_signal() { std::signal(SIGPIPE, SIG_IGN); }

void catch_reload_signal()
{
    struct sigaction action {};
    action.sa_handler = note_reload;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a wait ends, and the loop reloads
    sigaction(SIGHUP, &action, nullptr);
    sigemptyset(&reload_only);
    sigaddset(&reload_only, SIGHUP);
    sigprocmask(SIG_SETMASK, nullptr, &mask_while_waiting);
    sigdelset(&mask_while_waiting, SIGHUP);
    reload_caught = true;
}

reload_held_to_wait::reload_held_to_wait()
{
    if (reload_caught) sigprocmask(SIG_BLOCK, &reload_only, nullptr);
}

reload_held_to_wait::~reload_held_to_wait()
{
    if (reload_caught) sigprocmask(SIG_UNBLOCK, &reload_only, nullptr);
}

bool reload_waiting() { return reload_signalled != 0; }

const sigset_t* signals_let_in_while_waiting() { return reload_caught ? &mask_while_waiting : nullptr; }

bool reload_asked()
{
    if (reload_signalled == 0) return false;
    reload_signalled = 0;
    return true;
}
