// klserver: the reference dispatcher and server.  See docs/server.md.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "listener.h"
#include "sample.h"

namespace {

kls::Server* running = nullptr;

void on_signal(int) {
    if (running != nullptr) running->stop();
}

int usage() {
    std::fprintf(stderr, "usage: klserver --data DIR [--address A] [--port N] [--server-port N]\n"
                         "                [--host-type 1|2] [--standalone] [--export DIR] "
                         "[--port-file FILE]\n"
                         "       klserver --create-sample FILE [--rows N]\n");
    return 2;
}

bool number(const char* text, long low, long high, long& out) {
    char* end = nullptr;
    out = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && out >= low && out <= high;
}

} // namespace

int main(int argc, char** argv) {
    kls::ServerConfig config;
    std::string address = "127.0.0.1";
    std::string port_file;
    std::string sample;
    long port = 0;
    long server_port = 0;
    long rows = 5000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        long host_type = 1;
        if (arg == "--standalone") {
            config.standalone = true;
        } else if (!has_value) {
            return usage();
        } else if (arg == "--data") {
            config.data_dir = argv[++i];
        } else if (arg == "--export") {
            config.export_dir = argv[++i];
        } else if (arg == "--address") {
            address = argv[++i];
        } else if (arg == "--port-file") {
            port_file = argv[++i];
        } else if (arg == "--create-sample") {
            sample = argv[++i];
        } else if (arg == "--port") {
            if (!number(argv[++i], 0, 65535, port)) return usage();
        } else if (arg == "--server-port") {
            if (!number(argv[++i], 0, 65535, server_port)) return usage();
        } else if (arg == "--rows") {
            if (!number(argv[++i], 0, 10000000, rows)) return usage();
        } else if (arg == "--host-type") {
            if (!number(argv[++i], 1, 2, host_type)) return usage();
            config.big_endian = host_type == 2;
        } else {
            return usage();
        }
    }

    if (!sample.empty()) {
        std::string error;
        if (!kls::create_sample(sample, static_cast<int>(rows), error)) {
            std::fprintf(stderr, "klserver: cannot create %s: %s\n", sample.c_str(), error.c_str());
            return 1;
        }
        std::printf("klserver: sample database %s written (%ld orders)\n", sample.c_str(), rows);
        return 0;
    }
    if (config.data_dir.empty()) return usage();
    if (config.export_dir.empty()) config.export_dir = config.data_dir + "/exports";
    std::error_code ec;
    std::filesystem::create_directories(config.export_dir, ec);

    kls::Server server(config);
    std::string error;
    if (!server.start(address, static_cast<std::uint16_t>(port),
                      static_cast<std::uint16_t>(server_port), error)) {
        std::fprintf(stderr, "klserver: %s\n", error.c_str());
        return 1;
    }
    running = &server;
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGPIPE, SIG_IGN);
    if (!port_file.empty()) {
        std::ofstream(port_file) << server.dispatcher_port() << "\n";
    }
    std::printf("klserver: dispatcher on %s:%u, %s, %s-endian numbers, data in %s\n",
                address.c_str(), server.dispatcher_port(),
                config.standalone ? "standalone"
                                  : ("server port " + std::to_string(server.server_port())).c_str(),
                config.big_endian ? "big" : "little", config.data_dir.c_str());
    std::fflush(stdout);
    server.run();
    running = nullptr;
    return 0;
}
