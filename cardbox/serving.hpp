// The ways cardbox serves its clients, on the listening sockets, printing to out, over
// TLS when tls is given. Each returns only when the server must end, with the status
// to end with, its failure reported; at that end, every connection whose record is not
// written out is reset. SIGHUP, when caught, reopens the output file and reloads TLS.
#pragma once

#include "connection.hpp"
#include "listeners.hpp"
#include "options.hpp"
#include "record_output.hpp"
#include "tls.hpp"

// One connection after the other, for ever, each closed with a 30-second linger.
int serve_one_at_a_time(const listeners& listening, const options& chosen, record_output& out, tls_server* tls);

// Up to --connections at once, on one thread: each connection against its own
// deadline, at most --per-address of them from one source, the others waiting unread
// for a slot; each taken connection closed without lingering.
int serve_many_at_once(const listeners& listening, const options& chosen, record_output& out, tls_server* tls);
