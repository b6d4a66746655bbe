#include "publish/publish_command.h"

#include <memory>

#include "acquire_hooks.h"
#include "exit_codes.h"
#include "publish/instrument_publisher.h"

namespace vozihost {
namespace {

class PublishHooks final : public AcquireHooks {
 public:
  PublishHooks(const BrokerSettings& broker, std::string toolVersion)
      : broker_(broker), toolVersion_(std::move(toolVersion)) {}

  std::optional<int> Ready(std::vector<DeviceStream>& streams, bool filesWanted) override {
    for (DeviceStream& s : streams) {
      if (!s.failure.empty()) continue;
      auto publisher = std::make_unique<InstrumentPublisher>(s, broker_, toolVersion_);
      std::string reason;
      if (unreachable_) {
        publisher->ConnectLater();
      } else if (!publisher->Connect(&reason)) {
        ReportError("cannot reach the broker " + broker_.url.Text() + ": " + reason);
        if (!filesWanted) return kExitBroker;
        unreachable_ = true;
      }
      s.sink = publisher.get();
      publishers_.push_back({&s, std::move(publisher)});
    }
    if (unreachable_) {
      ReportError("recording to the files goes on; the streams are published once the broker answers");
    }
    return std::nullopt;
  }

  void Started(std::vector<DeviceStream>&, std::chrono::system_clock::time_point start) override {
    for (auto& [s, p] : publishers_) {
      if (s->started) p->Begin(*s, start);
    }
  }

  void Ended(std::vector<DeviceStream>&, RunEnd end) override {
    for (auto& [s, p] : publishers_) {
      if (s->started) p->End(*s, end);
    }
  }

  int Finish(int acquireCode, std::ostream& out) override {
    bool incomplete = false;
    for (auto& [s, p] : publishers_) {
      if (!s->started) continue;
      out << "  published to " << broker_.url.Text() << " under " << p->Topic() << ": " << p->BatchesPublished()
          << " batches";
      if (p->BatchesUnpublished() > 0) {
        out << "; " << p->BatchesUnpublished() << " could not be published (the broker was unreachable)";
        incomplete = true;
      }
      if (!p->EverConnected()) {
        out << "; the broker never answered";
        incomplete = true;
      }
      out << "\n";
    }
    out << std::flush;
    if (acquireCode == kExitOk && incomplete) return kExitBroker;
    return acquireCode;
  }

 private:
  struct Published {
    DeviceStream* stream;
    std::unique_ptr<InstrumentPublisher> publisher;
  };
  BrokerSettings broker_;
  std::string toolVersion_;
  std::vector<Published> publishers_;
  bool unreachable_ = false;
};

}  // namespace

bool PublishSupported() { return true; }

int RunPublish(EnablerSession& session, const std::vector<int32_t>& found, const AcquireOptions& acquire,
               const BrokerSettings& broker, std::ostream& out) {
  PublishHooks hooks(broker, acquire.toolVersion);
  return RunAcquire(session, found, acquire, out, &hooks);
}

}  // namespace vozihost
