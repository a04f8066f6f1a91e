#include "text_lines.hpp"

#include "visible_text.hpp"

namespace {

// Prints a text from the network with its control characters shown escaped.
void print_visible(record_output& out, std::string_view text)
{
    visible_escape escape{};
    while (!text.empty()) print(out, take_visible_piece(text, escape));
}

}  // namespace

void print_peer_line(record_output& out, const char* host, const char* port)
{
    print(out, "cliente conectado desde ");
    print(out, host);
    print(out, ":");
    print(out, port);
    print(out, "\n");
}

void print_text_record(record_output& out, ssize_t count,
                       const std::span<const char, person_record_size>* bytes)
{
    print(out, "\nSe recibieron ");
    print_number(out, count);
    print(out, " bytes\n");
    if (bytes == nullptr) return;
    const person_fields person = read_person_record(*bytes);
    print(out, "\nNombre: ");
    print_visible(out, person.nombre);
    print(out, "\nApellido: ");
    print_visible(out, person.apellido);
    print(out, "\n Edad:");
    print_number(out, person.edad);
    print(out, "\n");
}
