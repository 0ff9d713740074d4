// Serves the console sample: a dispatcher and a server on 127.0.0.1 with
// canned answers for the sample's calls, in the order it makes them.
//
//     sample_peer ENVIRONMENT-FILE
//
// Writes the environment file that points at itself, prints "ready", and
// waits (at most a minute) for the sample to connect and disconnect
// again.  Exit status 0 when the requests came in the expected order.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "peer/test_peer.h"

using namespace kl::test;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ENVIRONMENT-FILE\n", argv[0]);
        return 2;
    }
    TestPeer peer;
    std::ofstream(argv[1]) << "[environment]\nname=sample\n[include]\nNode=SAMPLE\n"
                              "filename=sample.db\n[Node SAMPLE]\ntransport=tcpsockets\n"
                              "ipaddress=127.0.0.1\nport="
                           << peer.dispatcher_port() << "\n";

    // Little-endian answers (the dispatcher's default host type).
    std::vector<Step> steps = {
        {{status_answer(StatusRecord{}, false, {0x11, 0x22, 0x33, 0x44})}}, // connect
        {{status_answer(StatusRecord{}, false, {0x00, 0x00, 0x00, 0x07})}}, // open cursor
    };
    std::vector<int> codes = {301, 303};
    Bytes records = {'A', 'L', 'I', 'C', 'E', 0, 0, 0, 'B', 'O', 'B', 0, 0, 0, 0, 0};
    steps.push_back({{status_answer(StatusRecord{}.bufflen(8).valuesize(8), false)}}); // select
    steps.push_back({{status_answer(StatusRecord{}.count(2).bufflen(16), false, records)}});
    codes.insert(codes.end(), {307, 308});
    steps.push_back({{status_answer(StatusRecord{}, false)}}); // close cursor
    steps.push_back({{status_answer(StatusRecord{}, false)}}); // disconnect
    codes.insert(codes.end(), {304, 302});
    peer.script(steps);
    std::printf("ready\n");
    std::fflush(stdout);

    const bool all = peer.wait_for_requests(codes.size(), std::chrono::seconds(60));
    const bool closed = all && peer.wait_for_disconnect(std::chrono::seconds(10));
    const std::vector<Request> requests = peer.requests();
    bool in_order = all && closed && requests.size() == codes.size();
    std::printf("sample peer: %zu requests:", requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const Bytes& p = requests[i].payload;
        const int code = p.size() >= 2 ? p[0] | p[1] << 8 : -1;
        std::printf(" %d", code);
        in_order = in_order && i < codes.size() && code == codes[i];
    }
    std::printf("%s\n", closed ? ", then the connection closed" : "");
    return in_order ? 0 : 1;
}
