#include "tcp_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>

namespace hosttest {
namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// All of `n` bytes, or false when the peer is gone.
bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = send(fd, data, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

TcpRelay::TcpRelay(int targetPort) : target_(targetPort) {
  listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t length = sizeof a;
  getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
  port_ = ntohs(a.sin_port);
  listen(listen_, 16);
  if (pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
  thread_ = std::thread([this] { Run(); });
}

TcpRelay::~TcpRelay() {
  stop_ = true;
  Wake();
  thread_.join();
  CloseAll();
  close(listen_);
  close(wake_[0]);
  close(wake_[1]);
}

void TcpRelay::Cut() {
  cut_ = true;
  Wake();
}

void TcpRelay::Restore() {
  cut_ = false;
  Wake();
}

void TcpRelay::Wake() {
  const char c = 0;
  (void)!write(wake_[1], &c, 1);
}

void TcpRelay::HoldBackOnNextConnection(int count, int after) {
  holdAfter_ = after;
  holdCount_ = count;
}

void TcpRelay::CloseAll() {
  for (const Link& l : links_) {
    close(l.client);
    close(l.server);
  }
  links_.clear();
}

bool TcpRelay::Release(Link& link) {
  for (const std::string& packet : link.held) {
    if (!WriteAll(link.server, packet.data(), packet.size())) return false;
    ++heldBack_;
  }
  link.held.clear();
  return true;
}

bool TcpRelay::Forward(Link& link, const char* data, size_t n) {
  if (link.toHold == 0 && link.held.empty() && link.partial.empty()) return WriteAll(link.server, data, n);
  link.partial.append(data, n);
  while (link.partial.size() >= 2) {
    // Fixed header: type and flags, then the remaining length (1 to 4 bytes,
    // 7 bits each, the high bit saying another follows).
    size_t length = 0, at = 1;
    bool whole = false;
    for (int shift = 0; at < link.partial.size() && at <= 4 && !whole; shift += 7) {
      const auto b = static_cast<unsigned char>(link.partial[at++]);
      length |= static_cast<size_t>(b & 0x7f) << shift;
      whole = !(b & 0x80);
    }
    if (!whole || link.partial.size() < at + length) return true;  // more to come
    const std::string packet = link.partial.substr(0, at + length);
    link.partial.erase(0, at + length);
    const auto first = static_cast<unsigned char>(packet[0]);
    const bool publish = (first >> 4) == 3, resend = first & 0x08;
    std::string topic;
    if (publish && packet.size() >= at + 2) {
      const size_t topicLength =
          static_cast<size_t>(static_cast<unsigned char>(packet[at]) << 8 | static_cast<unsigned char>(packet[at + 1]));
      topic = packet.substr(at + 2, topicLength);
    }
    const std::string samples = "/samples";
    if (publish && !resend && link.toHold > 0 && topic.size() > samples.size() &&
        topic.compare(topic.size() - samples.size(), samples.size(), samples) == 0) {
      if (link.held.empty()) link.heldSince = std::chrono::steady_clock::now();
      link.held.push_back(packet);
      --link.toHold;
      continue;
    }
    if (!WriteAll(link.server, packet.data(), packet.size())) return false;
    if (publish && !link.held.empty() && ++link.passed >= link.after && link.toHold == 0 && !Release(link)) {
      return false;
    }
  }
  return true;
}

void TcpRelay::Run() {
  using namespace std::chrono_literals;
  while (!stop_) {
    if (cut_) CloseAll();
    std::vector<pollfd> fds{{listen_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    bool holding = false;
    for (const Link& l : links_) {
      fds.push_back({l.client, POLLIN, 0});
      fds.push_back({l.server, POLLIN, 0});
      holding = holding || !l.held.empty();
    }
    if (poll(fds.data(), fds.size(), holding ? 100 : 1000) < 0) continue;
    if (fds[1].revents) {
      char drain[64];
      (void)!read(wake_[0], drain, sizeof drain);
      continue;  // looks at cut_ and stop_ again
    }
    // Data each way; a connection closed on one side is closed on both.
    std::vector<Link> kept;
    for (size_t k = 0; k < links_.size(); ++k) {
      Link& l = links_[k];
      bool open = true;
      char buffer[65536];
      if (fds[2 + 2 * k].revents) {
        const ssize_t n = recv(l.client, buffer, sizeof buffer, 0);
        open = n > 0 && Forward(l, buffer, static_cast<size_t>(n));
      }
      if (open && fds[3 + 2 * k].revents) {
        const ssize_t n = recv(l.server, buffer, sizeof buffer, 0);
        open = n > 0 && WriteAll(l.client, buffer, static_cast<size_t>(n));
      }
      // Fewer came after them than asked: they go on all the same.
      if (open && !l.held.empty() && std::chrono::steady_clock::now() - l.heldSince > 2s) open = Release(l);
      if (open) {
        kept.push_back(std::move(l));
      } else {
        close(l.client);
        close(l.server);
      }
    }
    links_.swap(kept);
    if (fds[0].revents & POLLIN) {
      const int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0 && cut_) {
        close(client);  // the link is down: the bridge finds nobody
      } else if (client >= 0) {
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = Loopback(target_);
        if (connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
          Link l;
          l.client = client;
          l.server = server;
          l.toHold = holdCount_.exchange(0);
          l.after = holdAfter_;
          links_.push_back(std::move(l));
          ++carried_;
        } else {
          close(client);
          close(server);
        }
      }
    }
  }
}

}  // namespace hosttest
