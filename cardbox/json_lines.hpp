// cardbox's --json output: one JSON object per connection, each on a line of its own.
#pragma once

#include "person_record.hpp"
#include "record_output.hpp"

#include <string_view>
#include <sys/types.h>

// One connection as its line shows it.
struct connection_line {
    const char* peer;             // the client's numeric address, or null when unknown
    const char* port;             // its numeric port, or null when unknown
    std::string_view peer_subject;  // its verified certificate's subject, or empty
    ssize_t bytes;                // what the received-count line shows
    const person_fields* person;  // the record, or null when nothing arrived
    const char* error;            // what went wrong, or null when the record came whole
};

// Prints the connection's line, stamped with the time now: {"time": ..., "peer": ...,
// "port": ..., then "peer_subject" for a client with a verified certificate, "bytes":
// ..., then "nombre", "apellido" and "edad" for a record, and "error" when something
// failed}. Texts are carried exactly; one that is not valid
// UTF-8 shows each stray byte as U+FFFD and comes whole in a "..._base64" key besides.
void print_json_line(record_output& out, const connection_line& connection);
