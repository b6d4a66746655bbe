#pragma once
// One instrument's streams on the broker: its own connection (the broker's
// last will marks that instrument offline), the retained info and status,
// samples in batches of consecutive positions, and events. Fed by the
// acquisition as the CSV is; everything it publishes comes from the one
// acquisition thread.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "session/acquisition.h"
#include "publish/broker_settings.h"
#include "publish/mqtt_connection.h"
#include "publish/sample_batch.h"

namespace vozihost {

class InstrumentPublisher final : public StreamSink {
 public:
  // A batch goes out once its first sample is this old, or when it is full.
  static constexpr std::chrono::milliseconds kBatchAge{50};
  static constexpr uint32_t kBatchSamples = 1000;
  // Bytes of batches handed over that the broker has not acknowledged yet,
  // at most: a broker that stops reading must not make the publisher hoard
  // batches without bound, while a burst (a host catching up) must fit.
  // About 17 minutes of 16 channels at 1 kHz.
  static constexpr size_t kMaxOutstandingBytes = 64u << 20;

  // answerClock: this instrument's connection answers the process's clock
  // exchanges (one connection of the process does; every info names the clock).
  InstrumentPublisher(const DeviceStream& s, const BrokerSettings& settings, const std::string& toolVersion,
                      bool answerClock);

  // Connects; false with the reason when the broker cannot be reached (the
  // connection keeps trying in the background).
  bool Connect(std::string* reason);
  // Connects in the background: the broker did not answer for another instrument.
  void ConnectLater() { connection_.StartInBackground(); }
  // Streaming has started: info, online, the start event.
  void Begin(const DeviceStream& s, std::chrono::system_clock::time_point started);
  void Row(uint64_t position, const std::vector<double>& values, int64_t gap, GapCause cause) override;
  void Pass(const DeviceStream& s) override;
  void EndLoss(uint64_t position, uint64_t count, GapCause cause) override;
  // The run has ended: what is held, the stop (and lost) event, offline, goodbye.
  void End(const DeviceStream& s, RunEnd end);

  const std::string& Topic() const { return topic_; }
  // Batches the broker acknowledged; those it refused; those it never
  // answered (handed over, then the connection ended or the broker went
  // silent); those never handed over (no connection, or too many unanswered).
  uint64_t BatchesPublished() const { return connection_.Acknowledged(); }
  uint64_t BatchesRefused() const { return connection_.Refused(); }
  uint64_t BatchesUnanswered() const { return handed_ - connection_.Acknowledged() - connection_.Refused(); }
  uint64_t BatchesUnpublished() const { return unpublishedTotal_; }
  // Why the broker could not be reached, while it still cannot (for the summary).
  std::string ConnectionFailure() { return connection_.BackgroundFailure(); }
  bool EverConnected() const { return connection_.Connections() > 0; }

 private:
  void Flush();
  void Announce();
  void Event(const std::string& json);
  void ReportRefusal();

  std::string topic_;  // "<prefix>/<id>"
  std::string info_;   // the retained info, kept to announce again after a reconnection
  std::string toolVersion_;
  int64_t streamUs_ = 0;  // the stream's start: what its events and batches name
  MqttConnection connection_;
  SampleBatch batch_;
  std::chrono::steady_clock::time_point batchStarted_;
  unsigned announcedOn_ = 0;  // the connection (count) info and status last went out on
  bool begun_ = false;
  bool lostReported_ = false;
  bool clockRefusalSaid_ = false;
  uint64_t handed_ = 0;
  uint64_t unpublishedTotal_ = 0;
  uint64_t unpublishedPending_ = 0;  // not yet reported in an event
  uint64_t unpublishedFrom_ = 0;
};

}  // namespace vozihost
