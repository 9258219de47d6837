// CompressionReport and roundtrip_report: one tensor's sizes, error and timings.
#include <string>

#include "../bridge/blas.hpp"
#include "../bridge/errors.hpp"
#include "../bridge/records.hpp"
#include "kestrine.hpp"

namespace velmora::kestrine {

namespace {

PyObject* g_report_cls = nullptr;  // CompressionReport

constexpr const char* kReportDoc =
    "Per-tensor compression summary: sizes, compression ratio, relative Frobenius error,\n"
    "the reconstruction quality derived from it, and the wall-clock times of compression\n"
    "and decompression in milliseconds.";

double seconds(const py::Obj& clock) { return clock().as_double(); }

// The first factorization of a process resolves LAPACK from SciPy (hundreds of milliseconds,
// once): done before the clock starts, so that a first report times like the next. A failure
// is left to the compressor, which raises it where LAPACK is needed; Ctrl-C goes through.
void resolve_lapack() {
  try {
    bridge::ensure_lapack();
  } catch (...) {
    bridge::set_python_error();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::PythonError{};
    PyErr_Clear();
  }
}

py::Obj roundtrip_report(const py::Obj& tensor, const py::Obj& method, const py::Obj& rank_ratio,
                         const py::Obj& max_rank) {
  py::Obj clock = py::import("time").attr("perf_counter");
  // Everything a timed interval needs is resolved first, so each interval holds one call.
  py::Obj compress = module_global("compress");
  py::Obj decompress = module_global("decompress");
  resolve_lapack();
  const double t0 = seconds(clock);
  py::Obj record = compress(tensor, method, "rank_ratio"_a = rank_ratio, "max_rank"_a = max_rank);
  const double t1 = seconds(clock);
  py::Obj reconstruction = decompress(record);
  const double t2 = seconds(clock);

  py::Obj error = module_global("_relative_frobenius_error")(tensor, reconstruction);
  py::Obj quality = 1.0 - error;
  // In this order a NaN error gives 1.0: it fails the first comparison.
  if (!(quality < 1.0)) quality = py::floating(1.0);
  if (!(quality > 0.0)) quality = py::floating(0.0);

  py::Obj rec_method = record.attr("method");
  py::Obj shape = record.attr("shape");
  py::Obj original = record.attr("original_size_bytes");
  py::Obj compressed = record.attr("compressed_size_bytes");
  py::Obj ratio = record.attr("compression_ratio");
  return py::Obj::borrow(g_report_cls)(rec_method, shape, original, compressed, ratio, error,
                                       quality, (t1 - t0) * 1000.0, (t2 - t1) * 1000.0);
}

const auto kRoundtripReport =
    def<&roundtrip_report>(
        "roundtrip_report",
        "Compress and decompress a tensor once; report sizes, error, quality and timings.",
        arg<Array>("tensor"), arg<Any>("method", "CompressionMethod | str"), kw_only, kRankOptions)
        .returns("CompressionReport");

}  // namespace

void define_report_record(bridge::ModuleBuilder& b) {
  using bridge::Field;
  py::Obj cls = bridge::make_dataclass(
      b, "CompressionReport", kReportDoc,
      {Field{"method", "CompressionMethod"}, Field{"shape", "tuple[int, ...]"},
       Field{"original_bytes", "int"}, Field{"compressed_bytes", "int"},
       Field{"compression_ratio", "float"}, Field{"relative_frobenius_error", "float"},
       Field{"reconstruction_quality", "float"}, Field{"elapsed_compress_ms", "float"},
       Field{"elapsed_decompress_ms", "float"}},
      {}, {.frozen = true});
  b.set("CompressionReport", cls);
  g_report_cls = cls.release();
}

void define_roundtrip_report(bridge::ModuleBuilder& b) { b.function(&kRoundtripReport); }

}  // namespace velmora::kestrine
