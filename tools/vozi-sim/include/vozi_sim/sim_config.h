#pragma once
// Configuration of the simulated Vozi instrument: what it says about itself,
// the samples it streams and the misbehaviours it can be told to show.
//
// Every field has a key (the command-line option name without "--", and the
// key of a config-file line "key=value"); see OptionTable().
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vozisim {

struct Recording;

struct SimConfig {
  // --- Identity: "V,<a>,<b>,<c>,<firmware>,<model>" ---
  std::string version = "1.1.0";  // dotted a.b.c, sent as the fields a,b,c
  std::string firmware = "1";     // text, so "7.9" is possible
  std::string model = "VZ-8";
  bool modelField = true;         // false: version line without the model field
  int versionFields = 0;          // > 0: version line cut to this many fields

  // --- Description ---
  // Number of fields of a data line, the time field included. Channels past
  // the six built-in ones are ramps named Ch<i>.
  int channels = 6;
  // Comma lists replacing the first entries of the per-field defaults
  // (field 0 is the time field). Empty: defaults.
  std::string names;
  std::string units;
  std::string maxima;
  std::string minima;
  std::string types;  // format-line type codes, default T then A
  std::string waves;  // ramp, sine, square, counter, constant (field 0 ignored)
  // Offered sample periods in seconds, sent verbatim on the period line.
  std::string periods = "0.001,0.002,0.005,0.01,0.1,1";
  bool endOfCycle = true;   // period line starts with "EndOfCycle"
  int startPeriod = -1;     // position (as "P" counts) streamed before any P; -1: first period
  bool crc = false;         // names line ends with "CRC", data lines with a checksum field

  // --- Samples ---
  uint64_t wavePeriod = 1000;  // samples per cycle of the periodic waveforms
  int missingChannel = 0;      // field sent as "*" ...
  uint64_t missingEvery = 0;   // ... for samples n with n % k == k - 1 (0: never)

  // --- Faults ---
  bool silent = false;         // never answer anything
  bool greetingOnly = false;   // answer "S", ignore every other command
  bool noStreamAck = false;    // ignore "B": never answer it, never stream
  bool noStopAck = false;      // ignore "S" while streaming (keep streaming)
  int namesDelta = 0;          // names line with this many names more (or fewer)
  uint64_t noiseEvery = 0;     // binary noise line before every k-th line sent
  std::string strayAfter;      // command letters whose answer a stray "~,~" line follows
  bool splitWrites = false;    // every byte in its own write
  int splitGapUs = 0;          // pause between those single-byte writes
  bool lfCr = false;           // lines end with LF CR instead of CR LF
  uint64_t longLineEvery = 0;  // an over-long line after every k data lines
  bool longLineOnce = false;   // ... only the first time
  int longLineLength = 9000;   // bytes of that line before its line end
  uint64_t hangUpAfter = 0;    // close the pty master after N data lines
  bool burst = false;          // no pacing: stream as fast as the host drains

  // --- Playback (not a key: set from --play) ---
  // The data lines are the recording's rows, none where it has no row; the
  // description should come from it too (DescribeRecording, recording.h).
  std::shared_ptr<const Recording> recording;
};

// One configurable key.
struct OptionInfo {
  std::string key;
  std::string help;
  bool isFlag;  // boolean: "--key" alone means true
  std::function<std::optional<std::string>(SimConfig&, const std::string&)> set;
};

// Every key, in the order of the struct. The setter returns an error text for
// a value that does not fit the key.
const std::vector<OptionInfo>& OptionTable();

// Sets one key from its text value. Returns an error text on an unknown key
// or a bad value.
std::optional<std::string> ApplyOption(SimConfig& cfg, const std::string& key,
                                       const std::string& value);

// Reads "key=value" lines: blank lines and lines starting with '#' are
// skipped, white space around key and value is trimmed. Returns an error
// text naming the line on the first problem.
std::optional<std::string> LoadConfigText(SimConfig& cfg, const std::string& text);
std::optional<std::string> LoadConfigFile(SimConfig& cfg, const std::string& path);

// Problems that make the configuration unusable (no period the stream can
// run at, no channels, ...). Empty when fine.
std::optional<std::string> Validate(const SimConfig& cfg);

}  // namespace vozisim
