// Seeded random bad input from several clients at once: NUL bytes, invalid
// Shift_JIS, CR without LF, 64 KiB without LF, byte-by-byte writes and
// partial commands. The server must stay up, answer every client with
// well-formed replies only, and let two other clients chat meanwhile.
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>

#include "framing.hpp"
#include "harness.hpp"

using namespace chat_test;

namespace {

std::string random_bytes(std::mt19937 &random, size_t n, bool allow_nul)
{
    std::string s;
    while (s.size() < n) {
        char c = static_cast<char>(random() % 256);
        if (c != '\n' && (allow_nul || c != '\0'))
            s += c;
    }
    return s;
}

// One piece of a bad client's stream. NUL bytes may land anywhere,
// also inside a SEND line: the records must keep their framing all the
// same.
std::string bad_piece(std::mt19937 &random)
{
    switch (random() % 9) {
    case 0: return random_bytes(random, random() % 300, true) + "\n";
    case 1: return "LGIN " + std::to_string(random() % 2000 - 1000) + " " +
                   random_bytes(random, random() % 5, true) + " " +
                   random_bytes(random, random() % 40, true) + "\r\n";
    case 2: return "SEND " + random_bytes(random, random() % 400, true) + "\r\n";
    case 3: return "SEND \x81\x82\xff\xfe\x80 lone lead bytes \x9f\r\n";
    case 4: {
        const char *partial[] = {"LGI\n", "SEN\r\n", "SEND\r\n", "LGIN \r\n", "LGIN 1\r\n",
                                 "lgot\r\n", "\r\n", "\n", "RELDx\r\n", "LGOT\r\n"};
        return partial[random() % 10];
    }
    case 5: return "RELD\r\r\r" + random_bytes(random, 20, false) + "\r\r\n";
    case 6: return "SEND cr\rwithout\rlf\r\n";
    case 7: return "RELD\r\n";
    default: return "LGOT and more\r\n";
    }
}

}  // namespace

TEST(BadInput, RandomStreamsFromSeveralClients)
{
    unsigned seed = getenv("CHAT_BAD_INPUT_SEED") ? std::atoi(getenv("CHAT_BAD_INPUT_SEED")) : 1208;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (set CHAT_BAD_INPUT_SEED to repeat another)");
    Server server(fast_server_binary());
    server.start();

    Client alice(server.port()), bob(server.port());
    login(alice, "111111111", "alice");
    login(bob, "222222222", "bob");

    std::vector<std::unique_ptr<Client>> bad;
    std::vector<std::mt19937> randoms;
    for (unsigned i = 0; i < 4; ++i) {
        bad.push_back(std::make_unique<Client>(server.port()));
        randoms.emplace_back(seed + i);
    }
    std::vector<std::string> received(bad.size());
    std::vector<Client *> raw;
    for (auto &b : bad)
        raw.push_back(b.get());

    std::string bob_saw;
    std::vector<std::string> alice_posts;
    for (int round = 0; round < 40; ++round) {
        for (size_t i = 0; i < bad.size(); ++i) {
            std::string piece = bad_piece(randoms[i]);
            if (randoms[i]() % 4 == 0)
                for (char c : piece)  // byte by byte
                    bad[i]->send(std::string(1, c));
            else
                bad[i]->send(piece);
        }
        if (round == 20)  // one long line: 64 KiB without LF
            bad[0]->send(random_bytes(randoms[0], 65536, true) + "\n");
        if (round % 5 == 0) {
            alice_posts.push_back(message("111111111", "alice", "still here " + std::to_string(round) + "\r\n"));
            alice.send("SEND still here " + std::to_string(round) + "\r\n");
        }
        bob.send("RELD\r\n");
        drain(raw, 100ms, received);
        bob_saw += bob.take_available();
        alice.take_available();
    }
    drain(raw, 1500ms, received);
    bob_saw += bob.read_for(1500ms);

    EXPECT_TRUE(server.running()) << server.error_output();
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_FALSE(received[i].empty()) << "client " << i << " got no answer at all";
        EXPECT_EQ(framing_problem(received[i]), "") << "client " << i;
    }
    for (const auto &post : alice_posts)
        EXPECT_NE(bob_saw.find(post), std::string::npos) << "bob missed " << post;
    EXPECT_EQ(history_problem(server.dat_path()), "");
    EXPECT_EQ(server.standard_output(), "");
}
