// What every program does with its standard streams, whatever its own work.
#pragma once

// Makes sure descriptors 0, 1 and 2 are open, opening /dev/null for any that is
// closed, so that no socket the program makes can take the number of a standard
// stream: what the program prints or reads then never reaches a peer. Ends the
// process with status 1 if /dev/null cannot be opened.
void open_standard_descriptors();

// Writes out what has been printed to standard output. Returns whether it all got
// out; if not, reports it with perror and the program's message (errno says why).
bool write_out_standard_output(const char* message);

// Returns a program's exit status once what it printed to standard output has been
// written out: the status given, or 1 if the output could not be written (reported
// as above).
int exit_status_after_output(int status, const char* message);
