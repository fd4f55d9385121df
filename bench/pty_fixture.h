// Serial port fixtures on real ptys: the DUT opens the pty's slave under the port name its
// configuration gives; the far end (the master) is a loop-back plug or the other port of a
// wired pair, served by a thread that can drop, cut short or corrupt the data, or a device
// of its own (a GPS receiver's stream, a modem's answers).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"

namespace ovik::testsupport {

struct PortFault {
    std::size_t cut_after = SIZE_MAX;  // forward only this many bytes per call
    long corrupt_index = -1;           // flip the bits of this byte of the stream
    bool missing = false;              // no device under the port's name
};

class SerialRig {
  public:
    // ports: how many; pairs: far ends cross-connected 0-1, 2-3, ... instead of looped back.
    // Port names must fit the configuration's 15 characters: "/tmp/sXXXXXX/tN".
    SerialRig(int ports, bool pairs) : pairs_(pairs) {
        char dir[] = "/tmp/sXXXXXX";
        dir_ = ::mkdtemp(dir);
        prefix_ = dir_ + "/t";
        for (int i = 0; i < ports; ++i) {
            Port p;
            p.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
            ::grantpt(p.master.get());
            ::unlockpt(p.master.get());
            const std::string slave = ::ptsname(p.master.get());
            // Keep one slave descriptor open, so the master never sees a hang-up between calls.
            p.keep_open.reset(::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
            std::filesystem::create_symlink(slave, prefix_ + std::to_string(i));
            ports_.push_back(std::move(p));
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~SerialRig() {
        stop_.store(true);
        thread_.join();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    SerialRig(const SerialRig&) = delete;
    SerialRig& operator=(const SerialRig&) = delete;

    const std::string& prefix() const { return prefix_; }

    void set_fault(int port, const PortFault& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        ports_[static_cast<std::size_t>(port)].fault = f;
        if (f.missing) std::filesystem::remove(prefix_ + std::to_string(port));
    }
    // A new call of the test: byte counts start again.
    void new_call() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& p : ports_) p.forwarded = 0;
    }

  private:
    struct Port {
        UniqueFd master;
        UniqueFd keep_open;
        PortFault fault;
        std::size_t forwarded = 0;
    };

    void serve() {
        std::vector<pollfd> fds(ports_.size());
        while (!stop_.load()) {
            for (std::size_t i = 0; i < ports_.size(); ++i)
                fds[i] = {ports_[i].master.get(), POLLIN, 0};
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            for (std::size_t i = 0; i < ports_.size(); ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                unsigned char buf[256];
                const ssize_t n = ::read(ports_[i].master.get(), buf, sizeof buf);
                if (n <= 0) continue;
                std::lock_guard<std::mutex> lock(mutex_);
                Port& from = ports_[i];
                std::string out;
                for (ssize_t k = 0; k < n; ++k, ++from.forwarded) {
                    if (from.forwarded >= from.fault.cut_after) continue;
                    unsigned char c = buf[k];
                    if (static_cast<long>(from.forwarded) == from.fault.corrupt_index) c ^= 0xFF;
                    out += static_cast<char>(c);
                }
                const std::size_t to = pairs_ ? (i ^ 1U) : i;
                if (to < ports_.size() && !out.empty()) {
                    (void)::write(ports_[to].master.get(), out.data(), out.size());
                }
            }
        }
    }

    bool pairs_;
    std::string dir_;
    std::string prefix_;
    std::vector<Port> ports_;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// One pty whose slave is reachable under a short name (device names hold 15 characters).
class Pty {
  public:
    Pty() {
        char dir[] = "/tmp/gXXXXXX";
        dir_ = ::mkdtemp(dir);
        master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        ::grantpt(master_.get());
        ::unlockpt(master_.get());
        const std::string slave = ::ptsname(master_.get());
        keep_.reset(::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        path_ = dir_ + "/p";
        std::filesystem::create_symlink(slave, path_);
    }
    ~Pty() {
        stop_.store(true);
        if (responder_.joinable()) responder_.join();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& path() const { return path_; }
    void feed(const std::string& bytes) {
        (void)::write(master_.get(), bytes.data(), bytes.size());
    }
    // Feeds bytes a moment from now, once the reader has set up the port as it wants it.
    void feed_soon(std::string bytes) {
        responder_ = std::thread([this, bytes] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            feed(bytes);
        });
    }
    // Answers every command that ends in '\r' with reply (empty: stays silent).
    void answer_with(std::string reply) {
        responder_ = std::thread([this, reply] {
            std::string pending;
            while (!stop_.load()) {
                pollfd pfd{master_.get(), POLLIN, 0};
                if (::poll(&pfd, 1, 20) <= 0) continue;
                char buf[64];
                const ssize_t n = ::read(master_.get(), buf, sizeof buf);
                if (n <= 0) continue;
                pending.append(buf, static_cast<std::size_t>(n));
                if (pending.find('\r') != std::string::npos && !reply.empty()) feed(reply);
                pending.clear();
            }
        });
    }

  private:
    std::string dir_;
    std::string path_;
    UniqueFd master_;
    UniqueFd keep_;
    std::atomic<bool> stop_{false};
    std::thread responder_;
};

}  // namespace ovik::testsupport
