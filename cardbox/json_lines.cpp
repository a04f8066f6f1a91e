#include "json_lines.hpp"

#include "json_text.hpp"

#include <algorithm>
#include <array>
#include <ctime>
#include <string_view>

namespace {

// Prints the text as a JSON string; returns whether it was valid UTF-8.
bool print_json_string(std::string_view text, record_output& out)
{
    return emit_json_string(text, [&out](std::string_view piece) { print(out, piece); });
}

void print_base64(std::string_view bytes, record_output& out)
{
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    print(out, "\"");
    while (!bytes.empty()) {
        const std::size_t taken = std::min<std::size_t>(bytes.size(), 3);
        std::uint32_t group = 0;
        for (std::size_t i = 0; i < 3; ++i) {
            group <<= 8U;
            if (i < taken) group |= static_cast<unsigned char>(bytes[i]);
        }
        // Each 3 bytes make 4 characters; a short last group is padded with '='.
        std::array<char, 4> characters{};
        for (std::size_t i = 0; i < 4; ++i)
            characters[i] = i <= taken ? alphabet[(group >> (18U - 6U * i)) & 0x3FU] : '=';
        print(out, {characters.data(), characters.size()});
        bytes.remove_prefix(taken);
    }
    print(out, "\"");
}

// Prints a text field: its string, and its bytes in base64 when it is not valid UTF-8.
void print_text_field(const char* key, std::string_view text, record_output& out)
{
    print(out, ", \"");
    print(out, key);
    print(out, "\": ");
    if (print_json_string(text, out)) return;
    print(out, ", \"");
    print(out, key);
    print(out, "_base64\": ");
    print_base64(text, out);
}

// Prints the time now in UTC, to the millisecond, as RFC 3339 writes it.
void print_time_now(record_output& out)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    std::array<char, 32> seconds{};
    std::strftime(seconds.data(), seconds.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    print(out, "\"");
    print(out, seconds.data());
    print(out, ".");
    print_number(out, now.tv_nsec / 1'000'000, 3);
    print(out, "Z\"");
}

}  // namespace

void print_json_line(record_output& out, const connection_line& connection)
{
    print(out, "{\"time\": ");
    print_time_now(out);
    print(out, ", \"peer\": ");
    if (connection.peer != nullptr)
        print_json_string(connection.peer, out);
    else
        print(out, "null");
    // The port is numeric text already.
    print(out, ", \"port\": ");
    print(out, connection.port != nullptr ? connection.port : "null");
    if (!connection.peer_subject.empty()) {
        print(out, ", \"peer_subject\": ");
        print_json_string(connection.peer_subject, out);
    }
    print(out, ", \"bytes\": ");
    print_number(out, connection.bytes);
    if (connection.person != nullptr) {
        print_text_field("nombre", connection.person->nombre, out);
        print_text_field("apellido", connection.person->apellido, out);
        print(out, ", \"edad\": ");
        print_number(out, connection.person->edad);
    }
    if (connection.error != nullptr) {
        print(out, ", \"error\": ");
        print_json_string(connection.error, out);
    }
    print(out, "}\n");
}
