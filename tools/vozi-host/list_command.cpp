#include <algorithm>
#include <ostream>

#include "commands.h"
#include "device_info.h"
#include "exit_codes.h"
#include "number_text.h"
#include "platform/console.h"
#include "platform/port_finder.h"

namespace vozihost {
namespace {

std::string Pad(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string RangeEnd(const std::optional<float>& v) { return v ? FormatNumber(*v, 7) : "-"; }

std::string PeriodsText(const std::vector<int32_t>& periods) {
  if (periods.empty()) return "none offered";
  std::string human, micro;
  for (int32_t p : periods) {
    human += (human.empty() ? "" : ", ") + FormatPeriod(p);
    micro += (micro.empty() ? "" : ",") + std::to_string(p);
  }
  return human + "  (us: " + micro + ")";
}

void PrintChannels(const DeviceInfo& info, std::ostream& out) {
  out << "  channels:       " << info.channels.size() << "\n";
  if (info.channels.empty()) return;
  const std::vector<std::string> head = {"#", "name", "units", "minimum", "maximum"};
  std::vector<std::vector<std::string>> rows;
  for (const ChannelInfo& c : info.channels) {
    rows.push_back({std::to_string(c.index), c.name, c.units.empty() ? "-" : c.units,
                    RangeEnd(c.minimum), RangeEnd(c.maximum)});
  }
  std::vector<size_t> width(head.size());
  for (size_t k = 0; k < head.size(); ++k) {
    width[k] = head[k].size();
    for (const auto& r : rows) width[k] = std::max(width[k], r[k].size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text = "    ";
    for (size_t k = 0; k < cells.size(); ++k) text += Pad(cells[k], width[k] + 2);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << "\n";
  };
  line(head);
  for (const auto& r : rows) line(r);
}

void PrintDevice(const DeviceInfo& info, std::ostream& out) {
  out << "  model:          " << info.model << "\n"
      << "  firmware:       " << info.firmware << "\n"
      << "  sample periods: " << PeriodsText(info.periodsUs) << "\n";
  PrintChannels(info, out);
}

// The platform's adapter for this instrument: the one whose serial number
// gives the identifier the enabler reports. None when none or several do.
const PlatformPort* PortOf(std::optional<int32_t> uniqueId, const std::vector<PlatformPort>& ports) {
  if (!uniqueId) return nullptr;
  const PlatformPort* match = nullptr;
  for (const PlatformPort& p : ports) {
    const bool vozi = p.serial.rfind("ZOR", 0) == 0 || p.serial.rfind("D800", 0) == 0;
    if (!vozi || UniqueIdFromSerialRemainder(std::string_view(p.serial).substr(3)) != *uniqueId) continue;
    if (match) return nullptr;
    match = &p;
  }
  return match;
}

}  // namespace

int RunList(EnablerSession& session, const std::vector<int32_t>& found, const ListOptions& options,
            std::ostream& out) {
  out << session.ClassName() << ": " << found.size()
      << (found.size() == 1 ? " instrument" : " instruments") << "\n";
  const std::vector<PlatformPort> ports = UsbSerialPorts(options.deviceRoot);
  int status = kExitOk;
  for (int32_t index : found) {
    if (StopRequested()) return kExitInterrupted;
    const std::optional<int32_t> id = session.UniqueId(index);
    const PlatformPort* port = PortOf(id, ports);
    out << "device " << index << "\n"
        << "  unique id:      " << (id ? std::to_string(*id) : "-") << "\n";
    if (!options.probe) {
      // Without --probe nothing is sent to the instrument: what the platform
      // knows about its adapter is all there is.
      out << "  description:    " << (port ? port->serial.substr(3) : "-") << "\n"
          << "  port:           " << (port ? port->port : "-") << "\n"
          << std::flush;
      continue;
    }
    out << std::flush;
    if (!InitialiseReported(session, index, found.back())) {
      out << "  start-up failed\n";
      status = kExitStartupFailed;
      continue;
    }
    if (StopRequested()) return kExitInterrupted;
    std::string failed;
    const std::optional<DeviceInfo> info = ReadDeviceInfo(session, index, &failed);
    if (!info) {
      ReportError("device " + std::to_string(index) + ": " + failed + " refused",
                  session.FailureMessage(index, found.back()));
      out << "  no description\n";
      status = kExitStartupFailed;
      continue;
    }
    out << "  description:    " << info->description << "\n"
        << "  port:           " << (port ? port->port : "-") << "\n";
    PrintDevice(*info, out);
  }
  if (!options.probe) {
    out << "(vozi-host list --probe starts each instrument and shows its model, firmware,\n"
           " sample periods and channels)\n";
  }
  return status;
}

}  // namespace vozihost
