// The harness's servers, clients and wire texts, and the history-file
// helpers that several tests share.
#include "harness.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iconv.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "wire/colour.hpp"
#include "wire/compose.hpp"
#include "wire/history_file.hpp"

namespace chat_test {

std::string server_binary() { return CHAT_SERVER_BINARY; }
std::string fast_server_binary() { return CHAT_FAST_SERVER_BINARY; }

// `bytes` converted from one character set to another; false when they
// do not convert.
static bool convert(const char *to, const char *from, std::string_view bytes, std::string &out)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error("iconv_open");
    std::string in(bytes);
    out.assign(in.size() * 3 + 4, '\0');
    char *src = in.data(), *dst = out.data();
    size_t src_left = in.size(), dst_left = out.size();
    size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    out.resize(out.size() - dst_left);
    return r != static_cast<size_t>(-1);
}

std::string sjis(std::string_view utf8)
{
    std::string out;
    if (!convert("SHIFT_JIS", "UTF-8", utf8, out))
        throw std::runtime_error("iconv: cannot convert " + std::string(utf8));
    return out;
}

bool is_valid_sjis(std::string_view bytes)
{
    std::string ignored;
    return convert("UTF-8", "CP932", bytes, ignored);
}

std::string error_reply(std::string_view explanation_utf8)
{
    return "ERR\r\n" + sjis(explanation_utf8) + "\r\n";
}

static std::string notice(std::string_view colour, std::string_view name, std::string_view tail)
{
    return std::string(colour) + "\t" + sjis("メッセージ") + "\t" + std::string(name) +
           sjis(tail) + "\r\n";
}

std::string login_notice(std::string_view colour, std::string_view name)
{
    return notice(colour, name, "がログインしました");
}

std::string logout_notice(std::string_view colour, std::string_view name)
{
    return notice(colour, name, "がログアウトしました");
}

std::string timeout_notice(std::string_view colour, std::string_view name)
{
    return notice(colour, name, "はタイムアウトのためログアウトされました");
}

std::string message(std::string_view colour, std::string_view name, std::string_view body)
{
    return std::string(colour) + "\t" + std::string(name) + "\t" + std::string(body);
}

std::string batch(const std::vector<std::string> &records)
{
    std::string out = "OK\r\n";
    for (const auto &r : records)
        out += r;
    return out + "END\r\n";
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string history_bytes(const std::vector<Slot> &slots)
{
    std::string file(5200, '\0');
    for (size_t i = 0; i < slots.size(); ++i) {
        uint32_t s = slots[i].stamp;
        char stamp[4] = {char(s & 0xff), char(s >> 8 & 0xff), char(s >> 16 & 0xff), char(s >> 24)};
        file.replace(260 * i, 4, stamp, 4);
        file.replace(260 * i + 4, slots[i].text.size(), slots[i].text);
    }
    return file;
}

pid_t hold_lock(const std::string &path, short type, double seconds)
{
    int ready[2];
    if (pipe(ready) != 0)
        throw std::runtime_error("pipe");
    pid_t p = fork();
    if (p == 0) {
        int fd = open(path.c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = type;
        lock.l_whence = SEEK_SET;
        fcntl(fd, F_SETLKW, &lock);
        (void)!write(ready[1], "x", 1);
        timespec pause {static_cast<time_t>(seconds),
                        static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
        nanosleep(&pause, nullptr);
        _exit(0);
    }
    char byte;
    ssize_t n = read(ready[0], &byte, 1);
    close(ready[0]);
    close(ready[1]);
    if (n != 1)
        throw std::runtime_error("the lock holder did not start");
    return p;
}

std::string history_problem(const std::string &path)
{
    std::string file = read_file(path);
    if (file.size() < 5200)
        return "history file shorter than 20 slots";
    uint32_t previous = 0;
    bool used = true;
    for (int slot = 0; slot < 20; ++slot) {
        const char *p = file.data() + 260 * slot;
        uint32_t stamp = chat::decode_stamp(p);
        if (stamp == 0) {
            used = false;
            continue;
        }
        if (!used)
            return "slot " + std::to_string(slot) + " is used after an empty one";
        if (slot > 0 && stamp >= previous)
            return "slot " + std::to_string(slot) + " is not older than the one before";
        if (memchr(p + 4, '\0', 256) == nullptr)
            return "slot " + std::to_string(slot) + " has no NUL in its text";
        previous = stamp;
    }
    return "";
}

std::vector<Client> connect_all(Server &server, size_t count)
{
    std::vector<Client> clients;
    size_t before = server.children().size();
    for (size_t i = 0; i < count; ++i) {
        clients.emplace_back(server.port());
        if (!server.wait_children(before + i + 1))
            throw std::runtime_error("client " + std::to_string(i) + " got no process");
    }
    return clients;
}

// The server holds 20 clients: the next one gets the exact limit reply and
// is closed, and none of the 20 is disturbed.
void expect_full(Server &server, std::vector<Client> &clients)
{
    Client extra(server.port());
    EXPECT_EQ(extra.read_exact(error_reply(server_full).size()), error_reply(server_full));
    EXPECT_TRUE(extra.closed_within());
    for (auto &c : clients) {
        EXPECT_EQ(c.read_for(0ms), "");
        EXPECT_FALSE(c.closed_within(0ms));
    }
    EXPECT_EQ(server.children().size(), 20u);
}


// ---- Server ----

static int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

Server::Server(std::string binary, std::string port_argument, std::string dir,
               std::vector<std::string> environment)
    : binary_(std::move(binary)), argument_(std::move(port_argument)), dir_(std::move(dir)),
      environment_(std::move(environment))
{
    if (dir_.empty()) {
        char pattern[] = "/tmp/chat-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp");
        dir_ = pattern;
        own_dir_ = true;
    }
}

Server::~Server()
{
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);  // the listener and every connection process
        if (status_ == -1)
            waitpid(pid_, nullptr, 0);
        check_error_output();
    }
    if (own_dir_) {
        std::error_code ignored;
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(dir_, ignored);
    }
}

void Server::start(bool expect_failure)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        bool chosen = argument_.empty();
        std::string arg = chosen ? std::to_string(free_port()) : argument_;
        status_ = -1;
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            if (chdir(dir_.c_str()) != 0)
                _exit(120);
            int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            for (auto &setting : environment_)
                putenv(setting.data());
            if (arg == "-")
                execl(binary_.c_str(), binary_.c_str(), static_cast<char *>(nullptr));
            else
                execl(binary_.c_str(), binary_.c_str(), arg.c_str(), static_cast<char *>(nullptr));
            _exit(121);
        }
        setpgid(pid_, pid_);
        if (expect_failure)
            return;
        bool up = eventually([&] { return listening_port() != 0 || !running(); }, 20s);
        if (up && running()) {
            port_ = listening_port();
            return;
        }
        // Another test may have taken the chosen port between our probe and
        // the server's bind: try another one.
        if (!chosen || error_output().find("bind") == std::string::npos)
            throw std::runtime_error("server did not start: " + error_output());
        std::filesystem::remove(dir_ + "/stderr.txt");
    }
    throw std::runtime_error("server did not find a free port");
}

bool Server::running()
{
    if (status_ != -1)
        return false;
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

int Server::wait_exit(millis deadline)
{
    eventually([&] { return !running(); }, deadline);
    return status_;
}

int Server::stop(int signal)
{
    stop_requested_ = true;
    if (running())
        kill(pid_, signal);
    return wait_exit();
}

std::string Server::error_output() const
{
    error_output_read_ = true;
    return read_file(dir_ + "/stderr.txt");
}

void Server::check_error_output()
{
    if (error_output_read_ || ::testing::UnitTest::GetInstance()->current_test_info() == nullptr)
        return;
    std::string text = read_file(dir_ + "/stderr.txt");
    // A stop signal between select and accept closes the listening socket
    // under them; the loop then reports the closed socket and stops.
    if (stop_requested_)
        for (const char *designed : {"accept: Bad file descriptor\n", "select: Bad file descriptor\n"})
            for (size_t at; (at = text.find(designed)) != std::string::npos;)
                text.erase(at, strlen(designed));
    EXPECT_EQ(text, "") << "the server wrote to standard error";
}
std::string Server::standard_output() const { return read_file(dir_ + "/stdout.txt"); }

static std::vector<std::string> socket_inodes(pid_t pid)
{
    std::vector<std::string> inodes;
    std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(fd_dir.c_str());
    if (d == nullptr)
        return inodes;
    while (dirent *e = readdir(d)) {
        char target[256];
        ssize_t n = readlink((fd_dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (strncmp(target, "socket:[", 8) == 0)
            inodes.emplace_back(target + 8, strlen(target + 8) - 1);
    }
    closedir(d);
    return inodes;
}

int Server::listening_port() const
{
    auto inodes = socket_inodes(pid_);
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state != "0A")
            continue;
        for (const auto &i : inodes)
            if (i == inode)
                return std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
    }
    return 0;
}

std::vector<pid_t> Server::children() const
{
    std::vector<pid_t> pids;
    std::string p = "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children";
    std::ifstream in(p);
    pid_t c;
    while (in >> c)
        pids.push_back(c);
    return pids;
}

int Server::zombie_children() const
{
    int zombies = 0;
    for (pid_t c : children()) {
        std::string stat = read_file("/proc/" + std::to_string(c) + "/stat");
        size_t close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z')
            ++zombies;
    }
    return zombies;
}

bool Server::wait_children(size_t count, millis deadline) const
{
    return eventually([&] { return children().size() == count; }, deadline);
}

// ---- Client ----

Client::Client(int port, int receive_buffer)
{
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer != 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        throw std::runtime_error(std::string("connect: ") + strerror(errno));
}

Client::Client(Client &&other) noexcept
    : fd_(other.fd_), pending_(std::move(other.pending_)), eof_(other.eof_)
{
    other.fd_ = -1;
}

Client::~Client() { close_now(); }

void Client::close_now()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

void Client::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error(std::string("send: ") + strerror(errno));
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

// Waits for more bytes until `end`; false on deadline or end of stream.
bool Client::fill(clock_type::time_point end)
{
    if (eof_ || fd_ < 0)
        return false;
    auto left = std::chrono::duration_cast<millis>(end - clock_type::now()).count();
    if (left < 0)
        return false;
    pollfd p {fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0)
        return false;
    char buf[65536];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    pending_.append(buf, static_cast<size_t>(n));
    return true;
}

std::string Client::read_until(std::string_view marker, millis deadline)
{
    auto end = clock_type::now() + deadline;
    for (;;) {
        size_t at = pending_.find(marker);
        if (at != std::string::npos) {
            std::string out = pending_.substr(0, at + marker.size());
            pending_.erase(0, at + marker.size());
            return out;
        }
        if (!fill(end))
            return "";
    }
}

std::string Client::read_exact(size_t n, millis deadline)
{
    auto end = clock_type::now() + deadline;
    while (pending_.size() < n && fill(end)) {
    }
    std::string out = pending_.substr(0, n);
    pending_.erase(0, out.size());
    return out;
}

std::string Client::read_for(millis window)
{
    auto end = clock_type::now() + window;
    while (fill(end)) {
    }
    std::string out;
    out.swap(pending_);
    return out;
}

std::string Client::take_available()
{
    while (fill(clock_type::now())) {
    }
    std::string out;
    out.swap(pending_);
    return out;
}

void drain(std::vector<Client *> &clients, millis window, std::vector<std::string> &into)
{
    into.resize(clients.size());
    auto end = clock_type::now() + window;
    do {
        std::vector<pollfd> fds;
        for (Client *c : clients)
            fds.push_back({c->fd(), POLLIN, 0});
        auto left = std::chrono::duration_cast<millis>(end - clock_type::now()).count();
        poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(left, 0)));
        for (size_t i = 0; i < clients.size(); ++i)
            into[i] += clients[i]->take_available();
    } while (clock_type::now() < end);
}

bool Client::closed_within(millis deadline)
{
    auto end = clock_type::now() + deadline;
    while (fill(end)) {
    }
    return eof_;
}

std::string Client::read_batch(millis deadline)
{
    return read_until("END\r\n", deadline);
}

// Records end at LF, or after 255 bytes when cut; END ends the batch.
std::string Client::read_batch_with(std::string_view record, millis deadline)
{
    auto end = clock_type::now() + deadline;
    std::string got = read_until(record, deadline);
    if (got.empty())
        return "";
    for (;;) {
        if (pending_.starts_with("END\r\n")) {
            pending_.erase(0, 5);
            return got + "END\r\n";
        }
        size_t lf = pending_.find('\n');
        bool whole = lf != std::string::npos && lf < 255;
        if (whole || pending_.size() >= 255) {
            size_t len = whole ? lf + 1 : 255;
            got += pending_.substr(0, len);
            pending_.erase(0, len);
        } else if (!fill(end)) {
            return "";
        }
    }
}

void login(Client &client, std::string_view colour, std::string_view name)
{
    int numbers[3];
    chat::parse_colour_field(colour, numbers);
    client.send(chat::login_line(numbers, name));
    std::string got = client.read_batch_with(login_notice(colour, name));
    if (got.empty())
        throw std::runtime_error("no login notice for " + std::string(name) + "; got: " +
                                 client.buffered());
}

}  // namespace chat_test
