#include "client_options.hpp"

#include "connect_to_server.hpp"

#include <getopt.h>
#include <sys/socket.h>

client_options read_client_options(int argc, char** argv, const command_texts& texts,
                                   const char* default_port)
{
    static constexpr option long_options[] = {
        {"ipv4", no_argument, nullptr, '4'},
        {"ipv6", no_argument, nullptr, '6'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    client_options chosen{server_address, default_port, AF_UNSPEC};
    name_program(argv, texts);
    for (int option = 0; (option = getopt_long(argc, argv, "46hV", long_options, nullptr)) != -1;) {
        switch (option) {
        case '4': chosen.family = AF_INET; break;
        case '6': chosen.family = AF_INET6; break;
        case 'h': print_help(texts);
        case 'V': print_version(texts);
        default: usage_error(texts);
        }
    }
    const int arguments = argc - optind;
    if (arguments >= 1) chosen.host = argv[optind];
    if (arguments >= 2) chosen.port = argv[optind + 1];
    if (arguments >= 3) usage_error(texts, "unexpected argument", argv[optind + 2]);
    if (!is_port(chosen.port)) usage_error(texts, "invalid port", chosen.port);
    return chosen;
}
