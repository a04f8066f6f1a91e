#include "signals.hpp"

#include <initializer_list>

namespace {

volatile std::sig_atomic_t reload_signalled = 0;

extern "C" void note_reload(int /*signal*/) { reload_signalled = 1; }

}  // namespace

stop_signals_held::stop_signals_held() : previous{}
{
    sigset_t stops;
    sigfillset(&stops);
    for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT, SIGPIPE})
        sigdelset(&stops, fault);
    sigprocmask(SIG_BLOCK, &stops, &previous);
}

stop_signals_held::~stop_signals_held() { sigprocmask(SIG_SETMASK, &previous, nullptr); }

void ignore_file_size_signal() { std::signal(SIGXFSZ, SIG_IGN); }

void catch_reload_signal()
{
    struct sigaction action {};
    action.sa_handler = note_reload;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a wait ends, and the loop reloads
    sigaction(SIGHUP, &action, nullptr);
}

bool reload_asked()
{
    if (reload_signalled == 0) return false;
    reload_signalled = 0;
    return true;
}
