// Two servers that do the least the benchmark's missed targets need, as
// plainly as C++ and POSIX allow, measured beside Quillport to show where
// this machine's floor lies. Neither is a print server: no access check, no
// time-outs, no recovery, no error handling beyond stopping.
//
//   floor spool PORT FOLDER
//       A durable server of small jobs: a connection's bytes go to
//       FOLDER/N.part, a description follows them, the file is renamed N.job
//       and only then is the connection closed (the client then knows its
//       job is on disk). A second thread, below the first (nice 10), writes a
//       log line and makes the job FOLDER/N.prn, its description cut off.
//
//   floor relay PORT TARGET FOLDER
//       Cut-through to a raw printer on 127.0.0.1:TARGET: the bytes go to
//       FOLDER/job.part and, while they still arrive, a second thread sends
//       them on from that file. The client's connection is closed once the
//       printer has closed. Unlike Quillport, a client that breaks off
//       leaves half a job on the printer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::perror(what);
    std::exit(1);
}

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int listenOn(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = loopback(port);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || listen(fd, 128) != 0)
        fail("listen");
    return fd;
}

char buffer[1 << 20];

void spool(int port, const std::string &folder)
{
    const int listening = listenOn(port);
    const int log = open((folder + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<long, off_t>> jobs;

    std::thread delivery([&] {
        setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 10);
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return !jobs.empty(); });
            const auto [id, size] = jobs.front();
            jobs.pop_front();
            lock.unlock();
            const std::string job = folder + "/" + std::to_string(id);
            char line[128];
            const time_t now = time(nullptr);
            tm local;
            localtime_r(&now, &local);
            const size_t length = strftime(line, sizeof line, "%Y-%m-%dT%H:%M:%S Print  Print job stored\n", &local);
            if (write(log, line, length) < 0 || truncate((job + ".job").c_str(), size) != 0
                || rename((job + ".job").c_str(), (job + ".prn").c_str()) != 0)
                fail("delivery");
        }
    });

    for (long id = 1;; ++id) {
        const int client = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        sockaddr_storage peer;
        socklen_t peerLength = sizeof peer;
        getpeername(client, reinterpret_cast<sockaddr *>(&peer), &peerLength);
        const std::string job = folder + "/" + std::to_string(id);
        const int file = open((job + ".part").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        off_t size = 0;
        for (ssize_t count; (count = recv(client, buffer, sizeof buffer, 0)) > 0; size += count)
            if (write(file, buffer, size_t(count)) != count)
                fail("spool file");
        static const char description[] = "{\"printer\":\"floor\",\"peer\":\"127.0.0.1\"}0000000000000029 floor\n";
        if (write(file, description, sizeof description - 1) < 0 || close(file) != 0
            || rename((job + ".part").c_str(), (job + ".job").c_str()) != 0)
            fail("spool file");
        close(client);
        std::lock_guard<std::mutex> lock(mutex);
        jobs.emplace_back(id, size);
        changed.notify_one();
    }
}

void relay(int port, int target, const std::string &folder)
{
    const int listening = listenOn(port);
    const std::string part = folder + "/job.part";
    for (;;) {
        const int client = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        const int file = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::mutex mutex;
        std::condition_variable changed;
        off_t received = 0;
        bool whole = false;

        std::thread sender([&] {
            const int printer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in address = loopback(target);
            const int source = open(part.c_str(), O_RDONLY | O_CLOEXEC);
            if (connect(printer, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || source < 0)
                fail("printer");
            for (off_t sent = 0;;) {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return sent < received || whole; });
                const off_t until = received;
                const bool last = whole;
                lock.unlock();
                while (sent < until)
                    if (sendfile(printer, source, &sent, size_t(until - sent)) <= 0)
                        fail("sendfile");
                if (last && sent == until)
                    break;
            }
            shutdown(printer, SHUT_WR);
            while (read(printer, buffer + sizeof buffer / 2, 4096) > 0) {
            }
            close(printer);
            close(source);
        });

        for (ssize_t count; (count = recv(client, buffer, sizeof buffer / 2, 0)) > 0;) {
            if (write(file, buffer, size_t(count)) != count)
                fail("spool file");
            std::lock_guard<std::mutex> lock(mutex);
            received += count;
            changed.notify_one();
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            whole = true;
            changed.notify_one();
        }
        sender.join();
        close(file);
        close(client);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "spool" && argc == 4)
        spool(std::atoi(argv[2]), argv[3]);
    else if (mode == "relay" && argc == 5)
        relay(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
    std::fprintf(stderr, "usage: floor spool PORT FOLDER | floor relay PORT TARGET FOLDER\n");
    return 2;
}
