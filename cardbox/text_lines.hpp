// What cardbox prints for people about each connection, in Spanish.
#pragma once

#include "person_record.hpp"
#include "record_output.hpp"

#include <span>
#include <sys/types.h>

// Prints the line that names the client.
void print_peer_line(record_output& out, const char* host, const char* port);

// Prints the received-count line with the count shown and, when any bytes arrived, the
// record's given name, surname and age, control characters in the names escaped.
void print_text_record(record_output& out, ssize_t count,
                       const std::span<const char, person_record_size>* bytes);
