#include "commands/monitor_command.h"

#include <cctype>
#include <string>
#include <system_error>

#include "commands/exit_codes.h"
#include "platform/library_loader.h"
#include "platform/private_broker.h"
#include "publish/publish_command.h"
#include "commands/tool_paths.h"

namespace vozihost {
namespace {

// The page subscribes under "vozi" unless its address names another prefix.
std::string PageQuery(const std::string& prefix) {
  if (prefix == "vozi") return "";
  static const char* hex = "0123456789ABCDEF";
  std::string query = "?prefix=";
  for (const unsigned char c : prefix) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      query += static_cast<char>(c);
    } else {
      query += '%';
      query += hex[c >> 4];
      query += hex[c & 15];
    }
  }
  return query;
}

}  // namespace

int RunMonitor(EnablerSession& session, const std::vector<int32_t>& found, const AcquireOptions& acquire,
               BrokerSettings broker, const MonitorOptions& options, std::ostream& out) {
  const std::filesystem::path web =
      options.webDir.empty() ? FirstExisting(WebPageCandidates(ExecutableDirectory())).parent_path()
                             : options.webDir.lexically_normal();
  std::error_code ec;
  const bool havePage = std::filesystem::is_regular_file(web / "index.html", ec);
  PrivateBroker privateBroker;
  if (options.privateBroker) {
    if (!havePage) {
      ReportError("the monitor page is not in " + web.string() +
                  " (a build makes it: cmake --build build/native; or give its folder with --web)");
      return kExitFailure;
    }
    std::string error;
    if (!privateBroker.Start(std::filesystem::absolute(web, ec), &error)) {
      ReportError("cannot start the monitor's broker: " + error);
      return kExitBroker;
    }
    broker.url = BrokerUrl{false, "127.0.0.1", privateBroker.MqttPort()};
    // Our broker lets only this user write; the page reads anonymously.
    broker.username = kPrivateBrokerUser;
    broker.password = privateBroker.Password();
    broker.caFile.clear();
    out << "Monitor: open http://127.0.0.1:" << privateBroker.WebPort() << "/" << PageQuery(broker.prefix)
        << " in a browser (Ctrl-C ends it)\n"
        << "  its broker, for other subscribers too: " << broker.url.Text()
        << " (anyone on this machine may read; only this monitor writes)\n";
  } else {
    out << "Monitor: the page is in " << (havePage ? web.string() : "share/vozi/web of an installation") << ".\n"
        << "  Let the broker serve it on a WebSockets listener (mosquitto: \"protocol websockets\" and\n"
        << "  \"http_dir <that folder>\"; docs/streaming.md, \"The browser monitor\"), then open\n"
        << "  http://<broker>:<that listener's port>/" << PageQuery(broker.prefix) << " in a browser.\n";
  }
  out.flush();
  const int code = RunPublish(session, found, acquire, broker, out);
  // The publisher has said goodbye (offline statuses sent); only now may the
  // broker go.
  privateBroker.Stop();
  // The broker ended on its own (said when it happened): the page and the
  // subscribers lost the streams from then on.
  if (!privateBroker.Death().empty()) return kExitBroker;
  return code;
}

}  // namespace vozihost
