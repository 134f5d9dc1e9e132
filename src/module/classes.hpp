// The module's three record classes and the internal-fault exception class.
// They are created once per process, on first need, and live until the
// process ends; every module object shares them.
#pragma once

#include <string>
#include <vector>

#include "budget/packed_record.hpp"
#include "fusion/fusion.hpp"
#include "module/python.hpp"
#include "module/ref.hpp"

namespace quibra::py {

struct ProcessObjects {
  PyObject* channel_result;  // ChannelResult(name, ranked_ids, weight=1.0)
  PyObject* fused_result;    // FusedResult, made only by fuse
  PyObject* packed_item;     // PackedItem, made only by pack_budget
  PyObject* panic;           // pyo3_runtime.PanicException
};

// The process-wide objects, created on first call (throws PythonError if
// creating them fails).
const ProcessObjects& process_objects();

// The fields of a ChannelResult. The ids are kept as exact `str` objects
// (immutable, and unable to refer back to the instance): fuse then reads
// their UTF-8 bytes in place and their cached hashes instead of copying and
// rehashing every id on every call.
struct ChannelData {
  std::string name;
  std::vector<Ref> ranked_ids;
  double weight = 1.0;
  // Each id's UTF-8 bytes (inside its str) and the str's hash, made once.
  std::vector<fusion::RankedId> id_keys;
};

// The fields of a ChannelResult instance, or TypeError (target
// "ChannelResult") for any other object. Valid while the instance lives.
const ChannelData& channel_data(PyObject* object);

Ref new_fused_result(const fusion::Fusion& fusion, const fusion::FusedRecord& record);
Ref new_packed_item(budget::PackedRecord&& record);

}  // namespace quibra::py
