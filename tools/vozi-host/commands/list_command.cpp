#include <algorithm>
#include <ostream>

#include "commands/commands.h"
#include "session/device_info.h"
#include "commands/exit_codes.h"
#include "outputs/number_text.h"
#include "platform/console.h"

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
    const PortInfo where = FindPort(id, ports);
    const auto orDash = [](const std::string& text) { return text.empty() ? std::string("-") : text; };
    // What the platform knows about the adapter; without --probe that is
    // all there is, and it stays for an instrument that fails to start.
    const std::string platformLines = "  description:    " + orDash(where.description) + "\n" +
                                      "  port:           " + orDash(where.port) + "\n";
    out << "device " << index << "\n"
        << "  unique id:      " << (id ? std::to_string(*id) : "-") << "\n";
    if (!options.probe) {
      out << platformLines << std::flush;
      continue;
    }
    out << std::flush;
    if (const auto reason = StartReported(session, index, found.back(), where)) {
      out << platformLines << "  start-up failed: " << *reason << "\n";
      status = kExitStartupFailed;
      continue;
    }
    if (StopRequested()) return kExitInterrupted;
    std::string failed;
    const std::optional<DeviceInfo> info = ReadDeviceInfo(session, index, &failed);
    if (!info) {
      ReportError("device " + std::to_string(index) + ": " + failed + " refused",
                  session.FailureMessage(index, found.back()));
      out << platformLines << "  no description: " << failed << " refused\n";
      status = kExitStartupFailed;
      continue;
    }
    out << "  description:    " << info->description << "\n"
        << "  port:           " << orDash(where.port) << "\n";
    PrintDevice(*info, out);
  }
  if (!options.probe) {
    out << "(vozi-host list --probe starts each instrument and shows its model, firmware,\n"
           " sample periods and channels)\n";
  }
  return status;
}

}  // namespace vozihost
