#include "vozi_sim/instrument.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "instrument_engine.h"

namespace vozisim {

Instrument::Instrument(SimConfig cfg) : cfg_(std::move(cfg)) {}

Instrument::~Instrument() { Stop(); }

void Instrument::SetFrameListener(std::function<void(const Frame&)> listener) {
  listener_ = std::move(listener);
}

bool Instrument::Start() {
  Stop();
  if (auto err = Validate(cfg_)) {
    error_ = *err;
    return false;
  }
  auto engine = std::make_unique<Engine>(*this, cfg_);
  if (std::string err = engine->pty.Open(); !err.empty()) {
    error_ = err;
    return false;
  }
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    error_ = "eventfd failed";
    return false;
  }
  slavePath_ = engine->pty.SlavePath();
  engine->watcher.Watch(slavePath_);
  hostPresent_ = engine->watcher.HostPresent();
  periodUs_ = engine->conversation.PeriodMicros();
  engine_ = std::move(engine);
  frames_.Clear();
  for (auto* counter : {&linesSent_, &dataLinesSent_, &dataLinesDropped_}) *counter = 0;
  stopRequested_ = false;
  hangUpRequested_ = false;
  dataStopRequested_ = false;
  allDataSent_ = false;
  hungUp_ = false;
  streaming_ = false;
  xReceived_ = false;
  error_.clear();
  running_ = true;
  thread_ = std::thread(&Instrument::Run, this);
  return true;
}

void Instrument::Stop() {
  stopRequested_ = true;
  if (wakeFd_ >= 0) eventfd_write(wakeFd_, 1);
  if (thread_.joinable()) thread_.join();
  engine_.reset();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
  running_ = false;
}

void Instrument::HangUp() {
  hangUpRequested_ = true;
  if (wakeFd_ >= 0) eventfd_write(wakeFd_, 1);
  if (thread_.joinable()) thread_.join();
}

void Instrument::StopSendingData() {
  dataStopRequested_ = true;
  if (wakeFd_ >= 0) eventfd_write(wakeFd_, 1);
}

void Instrument::Run() { engine_->Run(); }

}  // namespace vozisim
