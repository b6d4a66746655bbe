// Device discovery on Windows, run under Wine against our SETUPAPI.DLL and
// ftd2xx.dll doubles installed in the prefix's system folder. The runner
// (run-discovery-tests) installs the variant each suite needs, writes the
// PortName values into the prefix's registry, and runs one suite at a time:
//   WineDiscovery          complete doubles; an incomplete SETUPAPI.DLL is
//                          planted beside this program and must not be used
//   WineSetupApiFallback   SETUPAPI.DLL with only the other spelling of the
//                          detail and enumeration functions
//   WineNoFtd2xx           no ftd2xx.dll in the system folder (one is
//                          planted beside this program and must not be used)
//   WineIncompleteFtd2xx   ftd2xx.dll without FT_GetComPortNumber
//   WineIncompleteSetupApi SETUPAPI.DLL without SetupDiEnumDeviceInfo
#include <gtest/gtest.h>

#include <cwctype>
#include <memory>
#include <string>
#include <vector>

#include "discovery/device_probe.h"
#include "discovery/discovery_state.h"
#include "platform/ftdi_driver.h"
#include "platform/port_walk.h"
#include "platform/win32/dev_reg_enum.h"
#include "platform/win32/setup_api_library.h"

namespace {

std::u16string U16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

// The calls a double logged since the last look, one a line.
std::wstring TakeLog(const wchar_t* module) {
  HMODULE handle = GetModuleHandleW(module);
  if (!handle) return L"<not loaded>";
  using TakeFn = unsigned (*)(wchar_t*, unsigned);
  auto take = reinterpret_cast<TakeFn>(reinterpret_cast<void*>(GetProcAddress(handle, "TestDoubleLog")));
  if (!take) return L"<not a double>";
  std::wstring text(take(nullptr, 0) + 1, L'\0');
  text.resize(take(text.data(), static_cast<unsigned>(text.size())));
  return text;
}

bool Contains(const std::wstring& log, const std::wstring& line) {
  return log.find(line + L"\n") != std::wstring::npos;
}

size_t Count(const std::wstring& log, const std::wstring& text) {
  size_t count = 0;
  for (size_t at = log.find(text); at != std::wstring::npos; at = log.find(text, at + 1)) ++count;
  return count;
}

// Writes a list file for a double and names it in the environment.
void WriteList(const wchar_t* variable, const std::vector<std::wstring>& lines) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path = std::wstring(folder) + variable + L"-" +
                            std::to_wstring(GetCurrentProcessId()) + L".txt";
  std::string bytes;
  for (const std::wstring& line : lines) bytes += std::string(line.begin(), line.end()) + "\n";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  SetEnvironmentVariableW(variable, path.c_str());
}

const wchar_t* const kSetupApiList = L"VOZI_TEST_SETUPAPI_LIST";
const wchar_t* const kFtd2xxList = L"VOZI_TEST_FTD2XX_LIST";

std::wstring PathOf(const std::wstring& name) { return L"\\\\?\\" + name + L"#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"; }

// The machine: a built-in port, a non-Vozi FTDI adapter, a lower-case "zor",
// an instrument named in its instance ID, three whose instance IDs hold no
// serial number (the registry gives Com12, COM and COM9), one without a
// PortName value, and a Vozi serial behind another USB driver.
void WriteMixedMachine() {
  WriteList(kSetupApiList, {
      L"ACPI\\PNP0501\\1\t" + PathOf(L"acpi#pnp0501#1") + L"\t(Standard port types)\tCommunications Port (COM1)\tCommunications Port",
      L"FTDIBUS\\VID_0403+PID_6001+FT9XYZ12A\\0000\t" + PathOf(L"ft9xyz12a") + L"\tFTDI\tUSB Serial Port (COM3)\tUSB Serial Port",
      L"FTDIBUS\\VID_0403+PID_6001+zor55555A\\0000\t" + PathOf(L"zor55555a") + L"\tFTDI\tUSB Serial Port (COM4)\tUSB Serial Port",
      L"FTDIBUS\\VID_0403+PID_6001+ZOR12345A\\0000\t" + PathOf(L"zor12345a") + L"\tFTDI\tUSB Serial Port (COM5)\tUSB Serial Port",
      L"FTDIBUS\\VID_0403+PID_6002+\\0000\t" + PathOf(L"com12") + L"\tFTDI\tUSB Serial Port (COM12)\tUSB Serial Port",
      L"FTDIBUS\\VID_0403+PID_6003+\\0000\t" + PathOf(L"noport") + L"\tFTDI\tUSB Serial Port\tUSB Serial Port",
      L"FTDIBUS\\VID_0403+PID_6004+\\0000\t" + PathOf(L"noregistry") + L"\tFTDI\tUSB Serial Port\tUSB Serial Port",
      L"FTDIBUS\\VID_0403+PID_6005+\\0000\t" + PathOf(L"com9") + L"\tFTDI\tUSB Serial Port (COM9)\tUSB Serial Port",
      L"USB\\VID_10C4&PID_EA60\\ZOR99999\t" + PathOf(L"cp210x") + L"\tSilicon Labs\tCP210x (COM6)\tCP210x",
  });
  WriteList(kFtd2xxList, {L"FT000001\t3", L"ZOR1\t9", L"D800123456\t12", L"ZOR77777A\t-1"});
}

void ExpectDevice(const std::unique_ptr<OpenKymo::VoziSerial>& device, const std::wstring& path,
                  const std::u16string& description, int32_t uniqueId) {
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->portName, U16(path));
  EXPECT_EQ(device->portDescription, description);
  EXPECT_EQ(device->uniqueId, uniqueId);
  EXPECT_FALSE(device->IsOpen());
}

class WineDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleaseDiscovery();
    WriteMixedMachine();
    TakeLog(L"setupapi.dll");
    TakeLog(L"ftd2xx.dll");
  }
  void TearDown() override { ReleaseDiscovery(); }
};

TEST_F(WineDiscovery, SetupApiIsBoundFromTheSystemFolderOnly) {
  ASSERT_TRUE(SetupApiLibrary::Instance().Bound());
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(SetupApiLibrary::Instance().module, path, MAX_PATH);
  std::wstring lower = path;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  EXPECT_NE(lower.find(L"\\system32\\setupapi.dll"), std::wstring::npos) << path;
  // Our double, with its log, and not the one planted beside the program.
  EXPECT_NE(GetProcAddress(SetupApiLibrary::Instance().module, "TestDoubleLog"), nullptr);
  EXPECT_NE(SetupApiLibrary::Instance().enumDeviceInfo, nullptr);
}

TEST_F(WineDiscovery, OnePassFindsEachInstrumentOnceThenReleases) {
  ExpectDevice(ProbeNextDevice(), PathOf(L"zor12345a"), u"12345A", 130);
  // No serial in the instance ID: Com12 from the registry, matched to the
  // adapter on COM port 12.
  ExpectDevice(ProbeNextDevice(), PathOf(L"com12"), u"0123456", 3658);
  // PortName "COM" matches the adapter without a COM port (-1).
  ExpectDevice(ProbeNextDevice(), PathOf(L"noport"), u"77777A", 301);
  EXPECT_EQ(ProbeNextDevice(), nullptr);
  EXPECT_EQ(CurrentFtdiDriver(), nullptr);
  const std::wstring log = TakeLog(L"setupapi.dll");
  EXPECT_EQ(Count(log, L"GetClassDevs"), 1u) << log;
  EXPECT_EQ(Count(log, L"Destroy"), 1u) << log;
  EXPECT_EQ(Count(log, L"EnumDeviceInfo"), 0u) << log;
  // A new pass: the same instruments again.
  ExpectDevice(ProbeNextDevice(), PathOf(L"zor12345a"), u"12345A", 130);
  ExpectDevice(ProbeNextDevice(), PathOf(L"com12"), u"0123456", 3658);
  ReleaseDiscovery();
  EXPECT_EQ(Count(TakeLog(L"setupapi.dll"), L"Destroy"), 1u) << "releasing discards the set";
}

TEST_F(WineDiscovery, EachSetupApiCallHasTheArgumentsAndSizesOfThe32BitApi) {
  auto walk = std::make_unique<DevRegEnum>();
  ASSERT_TRUE(walk->MoveNext());
  const std::wstring log = TakeLog(L"setupapi.dll");
  const std::wstring guid = L"86E0D1E0-8089-11D0-9CE4-08003E301F73";
  EXPECT_TRUE(Contains(log, L"GetClassDevs guid=" + guid + L" flags=0x12 enumerator=null parent=null")) << log;
  // The older enumeration name is preferred, the current detail name.
  EXPECT_TRUE(Contains(log, L"EnumInterfaces(old) index=0 cbSize=28 devinfo=null guid=" + guid)) << log;
  EXPECT_TRUE(Contains(log, L"Detail(new) size=0 cbSize=null devinfo=null")) << log;
  const size_t pathBytes = 4 + (PathOf(L"acpi#pnp0501#1").size() + 1) * 2;
  EXPECT_TRUE(Contains(log, L"Detail(new) size=" + std::to_wstring(pathBytes) + L" cbSize=6 devinfo=28")) << log;
  EXPECT_TRUE(Contains(log, L"InstanceId size=0 buffer=null")) << log;
  EXPECT_TRUE(Contains(log, L"InstanceId size=15 buffer=set")) << log;  // ACPI\PNP0501\1 + zero
  // Manufacturer, friendly name, description; each asked for its size first.
  const std::wstring properties = L"Property 11 size=0\nProperty 11 size=" +
                                  std::to_wstring(2 * 2 * (std::wstring(L"(Standard port types)").size() + 1)) +
                                  L"\nProperty 12 size=0\n";
  EXPECT_NE(log.find(properties), std::wstring::npos) << log;
  EXPECT_NE(log.find(L"Property 0 size=0\nProperty 0 size="), std::wstring::npos) << log;
  EXPECT_EQ(walk->GetInstanceId(), u"ACPI\\PNP0501\\1");
  EXPECT_EQ(walk->GetManufacturer(), u"(Standard port types)");
  EXPECT_EQ(walk->GetFriendlyName(), u"Communications Port (COM1)");
  EXPECT_EQ(walk->deviceDescription, u"Communications Port");
  EXPECT_EQ(walk->currentIndex, 0);
  EXPECT_EQ(walk->nextIndex, 1);
}

TEST_F(WineDiscovery, AMissingPropertyKeepsThePreviousValue) {
  WriteList(kSetupApiList, {L"A\\1\tp1\tMaker One\tFirst\tDesc One", L"B\\2\tp2\t-\tSecond\t-"});
  DevRegEnum walk;
  ASSERT_TRUE(walk.MoveNext());
  ASSERT_TRUE(walk.MoveNext());
  EXPECT_EQ(walk.GetInstanceId(), u"B\\2");
  EXPECT_EQ(walk.GetFriendlyName(), u"Second");
  EXPECT_EQ(walk.GetManufacturer(), u"Maker One");
  EXPECT_EQ(walk.deviceDescription, u"Desc One");
  std::u16string path;
  EXPECT_TRUE(walk.GetDevicePath(path));
  EXPECT_EQ(path, u"p2");
}

TEST_F(WineDiscovery, AnInterfaceThatCannotBeReadEndsTheWalk) {
  for (const wchar_t* broken : {L"C\\3\t!\tM\tF\tD", L"!\tp3\tM\tF\tD"}) {
    WriteList(kSetupApiList, {L"A\\1\tp1\tM\tF\tD", broken, L"FTDIBUS\\X+ZOR12345A\\0000\tp4\tM\tF\tD"});
    TakeLog(L"setupapi.dll");
    DevRegEnum walk;
    EXPECT_TRUE(walk.MoveNext());
    EXPECT_FALSE(walk.MoveNext());
    EXPECT_EQ(walk.nextIndex, -1);
    EXPECT_EQ(walk.currentIndex, -1);
    EXPECT_FALSE(walk.MoveNext()) << "the walk stays ended";
    const std::wstring log = TakeLog(L"setupapi.dll");
    EXPECT_EQ(Count(log, L"Destroy"), 1u) << log;
    EXPECT_EQ(Count(log, L"index=2"), 0u) << "the interface after it is not examined\n" << log;
  }
}

TEST_F(WineDiscovery, NoInterfacesAtAllEndsAtOnceAndClosesTheSet) {
  WriteList(kSetupApiList, {});
  EXPECT_EQ(ProbeNextDevice(), nullptr);
  const std::wstring log = TakeLog(L"setupapi.dll");
  EXPECT_EQ(Count(log, L"GetClassDevs"), 1u) << log;
  EXPECT_EQ(Count(log, L"Destroy"), 1u) << log;
  EXPECT_EQ(CurrentFtdiDriver(), nullptr);
  // The next call enumerates again.
  EXPECT_EQ(ProbeNextDevice(), nullptr);
  EXPECT_EQ(Count(TakeLog(L"setupapi.dll"), L"GetClassDevs"), 1u);
}

TEST_F(WineDiscovery, PortNameComesFromTheInstancesDeviceParameters) {
  std::u16string name = u"stale";
  EXPECT_TRUE(platform::PortNameFromRegistry(u"FTDIBUS\\VID_0403+PID_6002+\\0000", name));
  EXPECT_EQ(name, u"Com12");
  // Whatever the value's type, the text up to its first zero.
  EXPECT_TRUE(platform::PortNameFromRegistry(u"FTDIBUS\\VID_0403+PID_6006+\\0000", name));
  EXPECT_EQ(name, u"COM21");
  EXPECT_FALSE(platform::PortNameFromRegistry(u"FTDIBUS\\VID_0403+PID_6004+\\0000", name));
  EXPECT_EQ(name, u"");
  name = u"stale";
  // The key exists, the PortName value does not.
  EXPECT_FALSE(platform::PortNameFromRegistry(u"FTDIBUS\\VID_0403+PID_6007+\\0000", name));
  EXPECT_EQ(name, u"");
}

TEST_F(WineDiscovery, FtdiSerialForPortMatchesTheComNameInAnyCase) {
  FtdiDriver driver;
  ASSERT_TRUE(driver.Usable());
  std::u16string serial;
  EXPECT_TRUE(FtdiSerialForPort(driver, u"COM12", serial));
  EXPECT_EQ(serial, u"D800123456");
  EXPECT_TRUE(FtdiSerialForPort(driver, u"Com12", serial));
  EXPECT_EQ(serial, u"D800123456");
  EXPECT_TRUE(FtdiSerialForPort(driver, u"com", serial));
  EXPECT_EQ(serial, u"ZOR77777A");
  TakeLog(L"ftd2xx.dll");
  serial = u"kept";
  EXPECT_FALSE(FtdiSerialForPort(driver, u"COM1", serial));  // not com12, not com
  EXPECT_FALSE(FtdiSerialForPort(driver, u"", serial));
  EXPECT_EQ(serial, u"kept");
  // Every adapter opened is closed; the search ends at the first index that
  // cannot be opened.
  EXPECT_EQ(TakeLog(L"ftd2xx.dll"),
            L"Open 0\nInfo 0\nPort 0\nClose 0\nOpen 1\nInfo 1\nPort 1\nClose 1\n"
            L"Open 2\nInfo 2\nPort 2\nClose 2\nOpen 3\nInfo 3\nPort 3\nClose 3\nOpen 4\n");
  EXPECT_FALSE(driver.cannotLoad);
}

TEST_F(WineDiscovery, AD2xxFailureEndsTheSearchAndClosesTheAdapter) {
  FtdiDriver driver;
  std::u16string serial;
  WriteList(kFtd2xxList, {L"FT000001\t3", L"FT000002\t4\topen", L"ZOR12345A\t5"});
  EXPECT_FALSE(FtdiSerialForPort(driver, u"COM5", serial));
  EXPECT_EQ(TakeLog(L"ftd2xx.dll"), L"Open 0\nInfo 0\nPort 0\nClose 0\nOpen 1\n");
  WriteList(kFtd2xxList, {L"FT000001\t3\tinfo", L"ZOR12345A\t5"});
  EXPECT_FALSE(FtdiSerialForPort(driver, u"COM5", serial));
  EXPECT_EQ(TakeLog(L"ftd2xx.dll"), L"Open 0\nInfo 0\nClose 0\n");
  WriteList(kFtd2xxList, {L"FT000001\t3\tport", L"ZOR12345A\t5"});
  EXPECT_FALSE(FtdiSerialForPort(driver, u"COM5", serial));
  EXPECT_EQ(TakeLog(L"ftd2xx.dll"), L"Open 0\nInfo 0\nPort 0\nClose 0\n");
  // Only an unusable driver is marked; a failed search is not.
  EXPECT_FALSE(driver.cannotLoad);
  EXPECT_TRUE(driver.Usable());
}

TEST_F(WineDiscovery, SerialFillingAllSixteenBytesIsReadNoFurther) {
  FtdiDriver driver;
  WriteList(kFtd2xxList, {L"ZOR4567890ABCDEFGHIJ\t7"});
  std::u16string serial;
  EXPECT_TRUE(FtdiSerialForPort(driver, u"COM7", serial));
  EXPECT_EQ(serial, u"ZOR4567890ABCDEF");
}

TEST_F(WineDiscovery, ShortVoziSerialFromTheDriverIsNotAnInstrument) {
  // COM9's adapter is "ZOR1": its remainder has no middle.
  WriteList(kSetupApiList, {L"FTDIBUS\\VID_0403+PID_6005+\\0000\t" + PathOf(L"com9") + L"\tFTDI\tF\tD"});
  EXPECT_EQ(ProbeNextDevice(), nullptr);
  EXPECT_EQ(CurrentFtdiDriver(), nullptr);
}

class WineSetupApiFallback : public WineDiscovery {};

TEST_F(WineSetupApiFallback, OtherSpellingsOfDetailAndEnumerationAreUsed) {
  ASSERT_TRUE(SetupApiLibrary::Instance().Bound());
  ExpectDevice(ProbeNextDevice(), PathOf(L"zor12345a"), u"12345A", 130);
  const std::wstring log = TakeLog(L"setupapi.dll");
  EXPECT_EQ(Count(log, L"EnumInterfaces(new)"), 4u) << log;
  EXPECT_EQ(Count(log, L"Detail(old)"), 8u) << log;
  EXPECT_EQ(Count(log, L"(old) index"), 0u) << log;
}

class WineNoFtd2xx : public WineDiscovery {};

TEST_F(WineNoFtd2xx, EveryCallFailsBeforeEnumeratingUntilReleased) {
  // The ftd2xx.dll beside this program is not looked at.
  for (int call = 0; call < 3; ++call) {
    EXPECT_EQ(ProbeNextDevice(), nullptr);
    ASSERT_NE(CurrentFtdiDriver(), nullptr);
    EXPECT_TRUE(CurrentFtdiDriver()->notInstalled);
    EXPECT_FALSE(CurrentFtdiDriver()->cannotLoad);
    EXPECT_FALSE(CurrentFtdiDriver()->HasModule());
  }
  EXPECT_EQ(Count(TakeLog(L"setupapi.dll"), L"GetClassDevs"), 0u) << "no port is examined";
  ReleaseDiscovery();
  EXPECT_EQ(CurrentFtdiDriver(), nullptr);
  // Tried again after the release, and still missing.
  EXPECT_EQ(ProbeNextDevice(), nullptr);
  EXPECT_TRUE(CurrentFtdiDriver()->notInstalled);
}

class WineIncompleteFtd2xx : public WineDiscovery {};

TEST_F(WineIncompleteFtd2xx, ALibraryWithoutAnEntryPointCannotBeLoaded) {
  for (int call = 0; call < 2; ++call) {
    EXPECT_EQ(ProbeNextDevice(), nullptr);
    ASSERT_NE(CurrentFtdiDriver(), nullptr);
    EXPECT_TRUE(CurrentFtdiDriver()->cannotLoad);
    EXPECT_FALSE(CurrentFtdiDriver()->notInstalled);
    EXPECT_FALSE(CurrentFtdiDriver()->HasModule());
    // It was loaded to look, then unloaded again.
    EXPECT_EQ(GetModuleHandleW(L"ftd2xx.dll"), nullptr);
  }
  EXPECT_EQ(Count(TakeLog(L"setupapi.dll"), L"GetClassDevs"), 0u);
}

class WineIncompleteSetupApi : public WineDiscovery {};

TEST_F(WineIncompleteSetupApi, UnboundSetupApiIsAnEmptyWalk) {
  EXPECT_FALSE(SetupApiLibrary::Instance().Bound());
  EXPECT_EQ(SetupApiLibrary::Instance().useCount, 0);
  EXPECT_EQ(SetupApiLibrary::Instance().module, nullptr);
  EXPECT_EQ(ProbeNextDevice(), nullptr);
  // The pass ended normally: the driver is released, nothing is flagged.
  EXPECT_EQ(CurrentFtdiDriver(), nullptr);
  DevRegEnum walk;
  EXPECT_EQ(walk.nextIndex, -1);
  EXPECT_FALSE(walk.MoveNext());
}

}  // namespace
