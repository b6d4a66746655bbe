#pragma once
// A loopback TCP relay of the test's own between a client and a server (a
// room broker's bridge and the central broker): the test cuts the link
// (every connection through it is closed, and new ones are turned away) and
// restores it, while both brokers keep running.
//
// A broker that delivers its queue after a link comes back sometimes sends
// newer messages before queued ones (seen once in four trials with mosquitto
// 2.0.11). The relay can make that happen every time: on the next connection
// it holds back the first few MQTT PUBLISH packets on a samples topic (not
// resends, which the server may have had already) until more have passed.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace hosttest {

class TcpRelay {
 public:
  // Listens on a free loopback port; each connection is carried to `targetPort`.
  explicit TcpRelay(int targetPort);
  ~TcpRelay();
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  int Port() const { return port_; }
  // Closes every connection through the relay, and every new one at once,
  // until Restore.
  void Cut();
  void Restore();
  // The next connection's first `count` PUBLISH packets on a topic ending
  // in /samples reach the server after `after` more PUBLISH packets (or
  // after 2 s, when fewer come). Call before Restore.
  void HoldBackOnNextConnection(int count, int after);
  // PUBLISH packets held back and then sent on, so far.
  unsigned HeldBack() const { return heldBack_.load(); }
  // Connections carried through so far (turned-away ones not counted).
  unsigned Carried() const { return carried_.load(); }

 private:
  struct Link {
    int client = -1, server = -1;
    std::string partial;              // client to server: the start of a packet not yet whole
    std::vector<std::string> held;    // held back
    int toHold = 0, after = 0, passed = 0;
    std::chrono::steady_clock::time_point heldSince;
  };
  void Run();
  void Wake();
  void CloseAll();
  // Client to server, packet by packet; false when the server is gone.
  bool Forward(Link& link, const char* data, size_t n);
  bool Release(Link& link);

  int target_;
  int port_ = 0;
  int listen_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> cut_{false}, stop_{false};
  std::atomic<unsigned> carried_{0}, heldBack_{0};
  std::atomic<int> holdCount_{0}, holdAfter_{0};
  std::vector<Link> links_;  // the relay's thread only
  std::thread thread_;
};

}  // namespace hosttest
