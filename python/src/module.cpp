// vozi._vozi: the compiled half of the vozi package. It loads libvozi.so,
// makes its calls (one at a time, without the interpreter lock while the
// library waits), and converts the sample text into NumPy arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "enabler_library.h"
#include "instrument_stream.h"
#include "sample_converter.h"

namespace py = pybind11;

namespace vozipy {
namespace {

using Clock = std::chrono::steady_clock;

// Text replies are short (names, units, period lists); the input amplifier
// control list, the longest, is a few hundred bytes.
constexpr int32_t kReplyBytes = 4096;
// The longest the library is left waiting between looks at Ctrl-C.
constexpr uint32_t kWaitSliceMs = 50;

// Narrow texts from the library are in the user's locale codeset (UTF-8 on
// any current system); a stray byte must not make a message unreadable.
py::str Text(const char* text, size_t size) {
  PyObject* s = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), "replace");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

std::shared_ptr<EnablerLibrary> LoadLibrary(const std::string& path) {
  try {
    return std::make_shared<EnablerLibrary>(path);
  } catch (const std::runtime_error& e) {
    PyErr_SetString(PyExc_OSError, e.what());
    throw py::error_already_set();
  }
}

std::optional<int32_t> FindNext(EnablerLibrary& lib) {
  int32_t index = -1;
  int32_t found = 0;
  {
    py::gil_scoped_release nogil;
    auto lock = lib.Lock();
    found = lib.Api().FindDevice(&index);
  }
  if (!found) return std::nullopt;
  return index;
}

bool Start(EnablerLibrary& lib, int32_t index) {
  py::gil_scoped_release nogil;
  auto lock = lib.Lock();
  return lib.Api().Initialise(index) != 0;
}

void CloseEverything(EnablerLibrary& lib) {
  py::gil_scoped_release nogil;
  auto lock = lib.Lock();
  lib.Api().CloseAll();
}

bool Failed(EnablerLibrary& lib, int32_t index) {
  py::gil_scoped_release nogil;
  auto lock = lib.Lock();
  return lib.Api().IsFailed(index) != 0;
}

std::optional<int32_t> UniqueId(EnablerLibrary& lib, int32_t index) {
  int32_t id = 0;
  int32_t ok = 0;
  {
    py::gil_scoped_release nogil;
    auto lock = lib.Lock();
    ok = lib.Api().GetUniqueID(index, &id);
  }
  if (!ok) return std::nullopt;
  return id;
}

// DeviceCommand with a fresh record: (accepted, text, count, value). The
// text is empty when the command wrote none; value is None when the library
// left it alone.
py::tuple Command(EnablerLibrary& lib, int32_t index, int32_t code, int32_t argument) {
  std::vector<char> reply(kReplyBytes, '\0');
  CommandRecord record{};
  record.reply = reply.data();
  record.replySize = kReplyBytes - 1;  // the last zero stays ours
  record.argument = argument;
  record.value = std::numeric_limits<float>::quiet_NaN();
  int32_t ok = 0;
  {
    py::gil_scoped_release nogil;
    auto lock = lib.Lock();
    ok = lib.Api().DeviceCommand(index, code, &record);
  }
  const size_t length = std::char_traits<char>::length(reply.data());
  py::object value = std::isnan(record.value) ? py::object(py::none())
                                              : py::object(py::float_(record.value));
  return py::make_tuple(ok != 0, Text(reply.data(), length), record.count, value);
}

// GetLastErrorMsg as a host calls it: the length with no buffer, then the
// text into a buffer of that size.
py::str LastError(EnablerLibrary& lib, int32_t index) {
  std::string buffer;
  {
    py::gil_scoped_release nogil;
    auto lock = lib.Lock();
    const int32_t length = lib.Api().GetLastErrorMsg(index, nullptr);
    // 0: no such device. 1: the empty text, fetched all the same, since
    // fetching a device's message is what clears it.
    if (length > 0) {
      // One spare zero keeps a library that writes more than it said from
      // running off the end.
      buffer.assign(static_cast<size_t>(length) + 1, '\0');
      lib.Api().GetLastErrorMsg(index, buffer.data());
      buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    }
  }
  return Text(buffer.data(), buffer.size());
}

py::str ClassName(EnablerLibrary& lib) {
  DeviceClassInfo info{};
  {
    py::gil_scoped_release nogil;
    auto lock = lib.Lock();
    if (!lib.Api().GetDeviceClassInfo(&info)) return py::str("");
  }
  auto utf16 = [](const uint16_t* text) {
    size_t n = 0;
    while (text && text[n]) ++n;
    PyObject* s = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text),
                                        static_cast<Py_ssize_t>(n * 2), "replace", nullptr);
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
  };
  return py::str("{} ({})").format(utf16(info.displayName), utf16(info.shortName));
}

std::vector<ColumnScale> Scales(const std::vector<std::optional<float>>& minima,
                                const std::vector<std::optional<float>>& maxima) {
  if (minima.size() != maxima.size()) throw py::value_error("one minimum and one maximum per column");
  std::vector<ColumnScale> scales;
  for (size_t k = 0; k < minima.size(); ++k) scales.push_back({minima[k], maxima[k]});
  return scales;
}

// Rows taken from a converter into a new (rows, columns) array. The caller
// keeps the converter to itself meanwhile.
py::array Take(SampleConverter& converter, std::optional<size_t> rows, bool raw) {
  const size_t n = std::min(rows.value_or(converter.Ready()), converter.Ready());
  const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(n),
                                       static_cast<py::ssize_t>(converter.Columns())};
  if (raw) {
    py::array_t<int32_t> out(shape);
    converter.TakeRaw(n, out.mutable_data());
    return out;
  }
  py::array_t<double> out(shape);
  converter.TakePhysical(n, out.mutable_data());
  return out;
}

py::dict Counts(const LineCounts& c) {
  py::dict d;
  d["samples"] = c.samples;
  d["malformed"] = c.malformed;
  d["no_prefix"] = c.noPrefix;
  d["wrong_count"] = c.wrongCount;
  d["bad_value"] = c.badValue;
  return d;
}

// Drains the instrument until `want` rows are waiting. Returns "ok", or
// "stalled" when no text arrived for `stallSeconds`, or "failed" when the
// library marked the instrument failed and its ring is empty, or "closed"
// when the stream was stopped. The library
// waits without the interpreter lock, in short slices, and Ctrl-C between
// them raises KeyboardInterrupt here.
std::string Fill(InstrumentStream& stream, size_t want, double stallSeconds) {
  auto lastData = Clock::now();
  for (;;) {
    InstrumentStream::Drain drain;
    size_t ready = 0;
    {
      py::gil_scoped_release nogil;
      auto guard = stream.Guard();
      if (stream.Converter().Ready() >= want) return "ok";
      if (stream.Stopped()) return "closed";
      drain = stream.DrainOnce(kWaitSliceMs);
      ready = stream.Converter().Ready();
    }
    const auto now = Clock::now();
    if (drain.bytes) lastData = now;
    if (ready >= want) return "ok";
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (drain.failed && drain.bytes == 0) return "failed";
    if (std::chrono::duration<double>(now - lastData).count() > stallSeconds) return "stalled";
  }
}

}  // namespace
}  // namespace vozipy

PYBIND11_MODULE(_vozi, m) {
  using namespace vozipy;
  m.doc() = "libvozi.so through its sixteen exports, and the sample text as NumPy arrays";

  py::class_<EnablerLibrary, std::shared_ptr<EnablerLibrary>>(m, "Library")
      .def(py::init(&LoadLibrary), py::arg("path"))
      .def_property_readonly("path", &EnablerLibrary::Path)
      .def("class_name", &ClassName)
      .def("find_device", &FindNext)
      .def("initialise", &Start, py::arg("index"))
      .def("close_all", &CloseEverything)
      .def("is_failed", &Failed, py::arg("index"))
      .def("unique_id", &UniqueId, py::arg("index"))
      .def("command", &Command, py::arg("index"), py::arg("code"), py::arg("argument") = 0)
      .def("last_error", &LastError, py::arg("index"));

  py::class_<SampleConverter>(m, "Converter")
      .def(py::init([](const std::vector<std::optional<float>>& minima,
                       const std::vector<std::optional<float>>& maxima) {
             return SampleConverter(Scales(minima, maxima));
           }),
           py::arg("minima"), py::arg("maxima"))
      .def("feed",
           [](SampleConverter& c, const py::bytes& text) {
             char* data = nullptr;
             Py_ssize_t size = 0;
             if (PyBytes_AsStringAndSize(text.ptr(), &data, &size) != 0) throw py::error_already_set();
             c.Feed(std::string_view(data, static_cast<size_t>(size)));
           })
      .def("take", &Take, py::arg("rows") = py::none(), py::arg("raw") = false)
      .def_property_readonly("ready", &SampleConverter::Ready)
      .def_property_readonly("counts", [](const SampleConverter& c) { return Counts(c.Counts()); })
      .def_property_readonly("steps", [](const SampleConverter& c) {
        std::vector<double> steps;
        for (const ColumnScale& s : c.Scales()) steps.push_back(s.Step());
        return steps;
      });

  py::class_<InstrumentStream, std::shared_ptr<InstrumentStream>>(m, "Stream")
      .def(py::init([](std::shared_ptr<EnablerLibrary> lib, int32_t index,
                       const std::vector<std::optional<float>>& minima,
                       const std::vector<std::optional<float>>& maxima, int64_t periodUs) {
             return std::make_shared<InstrumentStream>(std::move(lib), index, Scales(minima, maxima),
                                                       periodUs);
           }),
           py::arg("library"), py::arg("index"), py::arg("minima"), py::arg("maxima"),
           py::arg("period_us") = 0)
      .def("fill", &Fill, py::arg("want"), py::arg("stall_seconds"))
      .def("stop", &InstrumentStream::Stop)
      .def("take",
           [](InstrumentStream& s, std::optional<size_t> rows, bool raw) {
             std::unique_lock<std::mutex> guard;
             {
               py::gil_scoped_release nogil;
               guard = s.Guard();
             }
             return Take(s.Converter(), rows, raw);
           },
           py::arg("rows") = py::none(), py::arg("raw") = false)
      .def_property_readonly("counts", [](InstrumentStream& s) {
        std::unique_lock<std::mutex> guard;
        {
          py::gil_scoped_release nogil;
          guard = s.Guard();
        }
        py::dict d = Counts(s.Converter().Counts());
        d["ring_overflows"] = s.RingOverflows();
        d["missing"] = s.Clock().Missing();
        d["gaps"] = s.Clock().Gaps();
        d["unsized"] = s.Clock().Unsized();
        d["faster_than_period"] = s.Clock().FasterThanPeriod();
        return d;
      });
}
