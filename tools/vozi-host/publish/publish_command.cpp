#include "publish/publish_command.h"

#include <memory>

#include "session/acquire_hooks.h"
#include "commands/exit_codes.h"
#include "publish/instrument_publisher.h"

namespace vozihost {
namespace {

class PublishHooks final : public AcquireHooks {
 public:
  PublishHooks(const BrokerSettings& broker, std::string toolVersion, std::ostream& out)
      : broker_(broker), toolVersion_(std::move(toolVersion)), out_(out) {}

  std::optional<int> Ready(std::vector<DeviceStream>& streams, bool filesWanted) override {
    for (DeviceStream& s : streams) {
      if (!s.failure.empty()) continue;
      auto publisher = std::make_unique<InstrumentPublisher>(s, broker_, toolVersion_, publishers_.empty());
      // Where each instrument goes, before it streams: the summary comes
      // only at the end, and a user needs the topic to subscribe now.
      out_ << "  device " << s.info.index << " (" << s.info.model << " " << s.info.description << ") -> "
           << publisher->Topic() << "\n"
           << std::flush;
      std::string reason;
      if (unreachable_) {
        publisher->ConnectLater();
      } else if (!publisher->Connect(&reason)) {
        ReportError("cannot reach the broker " + broker_.url.Text() + ": " + reason);
        if (!filesWanted) return kExitBroker;
        unreachable_ = true;
      }
      s.sink = publisher.get();
      publishers_.push_back({&s, std::move(publisher), false});
    }
    if (unreachable_) {
      ReportError("recording to the files goes on; the streams are published once the broker answers");
    }
    return std::nullopt;
  }

  void Started(std::vector<DeviceStream>&, std::chrono::system_clock::time_point start) override {
    for (Published& p : publishers_) {
      p.started = p.stream->started;
      if (p.started) p.publisher->Begin(*p.stream, start);
    }
  }

  void Ended(std::vector<DeviceStream>&, RunEnd end) override {
    for (Published& p : publishers_) {
      if (p.started) p.publisher->End(*p.stream, end);
    }
  }

  int Finish(int acquireCode, std::ostream& out) override {
    bool incomplete = false;
    for (Published& published : publishers_) {
      if (!published.started) continue;
      InstrumentPublisher* p = published.publisher.get();
      // Only what the broker acknowledged counts as published.
      out << "  published to " << broker_.url.Text() << " under " << p->Topic() << ": " << p->BatchesPublished()
          << " batches";
      if (p->BatchesRefused() > 0) {
        out << "; " << p->BatchesRefused() << " refused by the broker (not allowed to write there)";
      }
      if (p->BatchesUnanswered() > 0) {
        out << "; " << p->BatchesUnanswered() << " never acknowledged (the broker stopped answering)";
      }
      if (p->BatchesUnpublished() > 0) {
        out << "; " << p->BatchesUnpublished() << " could not be published (the broker was unreachable, or too slow to take them)";
      }
      if (!p->EverConnected()) {
        const std::string why = p->ConnectionFailure();
        out << "; the broker never answered" << (why.empty() ? "" : ": " + why);
      }
      incomplete = incomplete || p->BatchesRefused() > 0 || p->BatchesUnanswered() > 0 ||
                   p->BatchesUnpublished() > 0 || !p->EverConnected();
      out << "\n";
    }
    out << std::flush;
    if (acquireCode == kExitOk && incomplete) return kExitBroker;
    return acquireCode;
  }

 private:
  // The streams live inside the acquisition: Finish, which comes after it,
  // must not look at them.
  struct Published {
    DeviceStream* stream;  // valid until Ended
    std::unique_ptr<InstrumentPublisher> publisher;
    bool started;          // as the stream was when streaming began
  };
  BrokerSettings broker_;
  std::string toolVersion_;
  std::ostream& out_;
  std::vector<Published> publishers_;
  bool unreachable_ = false;
};

}  // namespace

bool PublishSupported() { return true; }

int RunPublish(EnablerSession& session, const std::vector<int32_t>& found, const AcquireOptions& acquire,
               const BrokerSettings& broker, std::ostream& out) {
  PublishHooks hooks(broker, acquire.toolVersion, out);
  return RunAcquire(session, found, acquire, out, &hooks);
}

}  // namespace vozihost
