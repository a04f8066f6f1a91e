#include "client_options.hpp"

#include "connect_to_server.hpp"

#include <cstdlib>
#include <sys/socket.h>

client_options default_client_options(const char* default_port)
{
    client_options chosen{server_address, default_port, AF_UNSPEC, {}};
    // As other TLS clients honour it: a learner's capture can then be read inside TLS.
    const char* const key_log = secure_getenv("SSLKEYLOGFILE");
    if (key_log != nullptr && *key_log != '\0') chosen.tls.key_log = key_log;
    return chosen;
}

std::optional<int> take_client_option(int option, client_options& chosen, const command_texts& texts)
{
    client_tls_options& tls = chosen.tls;
    switch (option) {
    case '4': chosen.family = AF_INET; return std::nullopt;
    case '6': chosen.family = AF_INET6; return std::nullopt;
    case tls_option: tls.enabled = true; return std::nullopt;
    case tls_ca_option: tls.enabled = true; tls.ca = optarg; return std::nullopt;
    case tls_name_option:
        // An empty name (a script's unset variable) would check no name at all.
        if (*optarg == '\0') return usage_error(texts, "invalid TLS name", optarg);
        tls.enabled = true;
        tls.name = optarg;
        return std::nullopt;
    case tls_cert_option: tls.enabled = true; tls.cert = optarg; return std::nullopt;
    case tls_key_option: tls.enabled = true; tls.key = optarg; return std::nullopt;
    case 'h': return print_help(texts);
    case 'V': return print_version(texts);
    default: return usage_error(texts);
    }
}

std::optional<int> take_host_and_port(int argc, char** argv, client_options& chosen,
                                      const command_texts& texts)
{
    const int arguments = argc - optind;
    if (arguments >= 1) chosen.host = argv[optind];
    if (arguments >= 2) chosen.port = argv[optind + 1];
    if (arguments >= 3) return usage_error(texts, "unexpected argument", argv[optind + 2]);
    if (!is_port(chosen.port)) return usage_error(texts, "invalid port", chosen.port);
    if ((chosen.tls.cert == nullptr) != (chosen.tls.key == nullptr))
        return usage_error(texts, "--tls-cert and --tls-key go together");
    return std::nullopt;
}

std::optional<int> read_client_options(int argc, char** argv, const command_texts& texts,
                                       client_options& chosen)
{
    static constexpr auto long_options = with_client_options(std::array<option, 0>{});
    name_program(argv, texts);
    for (int option = 0; (option = getopt_long(argc, argv, "46hV", long_options.data(), nullptr)) != -1;)
        if (const std::optional<int> status = take_client_option(option, chosen, texts)) return status;
    return take_host_and_port(argc, argv, chosen, texts);
}
