#include "cli/doctor_command.h"

#include "catalogue/update_item.h"
#include "cli/image_commands.h"
#include "cli/json_writer.h"
#include "cli/terminal_text.h"
#include "engine/diagnosis.h"
#include "engine/router_link.h"
#include "platform/clock.h"
#include "platform/utf8_path.h"

namespace orvane::cli {
namespace {

void WriteFinding(JsonWriter& json, const Finding& f) {
  json.BeginObject()
      .Key("kind").String(FindingKindName(f.kind))
      .Key("severity").String(SeverityName(f.severity))
      .Key("subject").String(f.subject)
      .Key("detail").String(f.detail)
      .Key("advice").String(AdviceName(f.advice))
      .Key("advice_text").String(AdviceText(f.advice));
  if (f.adapter) {
    json.Key("adapter").BeginObject()
        .Key("name").String(f.adapter->name)
        .Key("up").Bool(f.adapter->up)
        .Key("ipv4").BeginArray();
    for (const platform::AdapterAddress& a : f.adapter->ipv4) {
      json.BeginObject().Key("address").String(FormatIpv4(a.address)).Key("mask").String(FormatIpv4(a.mask)).EndObject();
    }
    json.EndArray().EndObject();
  }
  if (f.router) {
    json.Key("router").BeginObject()
        .Key("ip").String(FormatIpv4(f.router->ip))
        .Key("mac").String(FormatMac(f.router->mac))
        .Key("version").String(f.router->text)
        .EndObject();
  }
  json.EndObject();
}

}  // namespace

int Doctor(const DoctorOptions& options, std::ostream& out, std::ostream& err) {
  if (!platform::SetTimeScale(options.timeScale)) {
    err << "orvane: --time-scale must be above 0 and at most 1000\n";
    return kExitUsage;
  }
  DiagnosisOptions diagnosis;
  if (!LoadTrustedKeys(options.trust, diagnosis.trustedKeys, err, "doctor")) return kExitUsage;
  diagnosis.allowUnsigned = options.trust.allowUnsigned;
  diagnosis.profile = options.profile;
  diagnosis.imageDirectory = platform::AbsolutePathText(options.directory);
  if (!options.router.empty()) {
    Ipv4Address router{};
    if (!ParseIpv4(options.router, &router)) {
      err << "orvane doctor: --router: not an IPv4 address: \"" << options.router << "\"\n";
      return kExitUsage;
    }
    diagnosis.router = router;
  }
  Ipv4Address broadcast{};
  if (!ParseIpv4(options.profile.broadcastAddress, &broadcast)) {
    err << "orvane doctor: --broadcast: not an IPv4 address: \"" << options.profile.broadcastAddress << "\"\n";
    return kExitUsage;
  }

  const Diagnosis result = RunDiagnosis(diagnosis);

  if (options.json) {
    JsonWriter json;
    json.BeginObject().Key("check_would_succeed").Bool(result.checkWouldSucceed).Key("findings").BeginArray();
    for (const Finding& f : result.findings) WriteFinding(json, f);
    json.EndArray().EndObject();
    out << json.Text() << "\n";
  } else {
    // A finding may quote a router (its discovery text, its shell's words).
    for (const Finding& f : result.findings) out << TerminalText(FindingLine(f)) << "\n";
    out << (result.checkWouldSucceed ? "A check would succeed.\n" : "A check would fail: see the faults above.\n");
  }
  return result.checkWouldSucceed ? kExitOk : kExitFailed;
}

}  // namespace orvane::cli
