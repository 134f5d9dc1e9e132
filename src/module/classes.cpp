#include "module/classes.hpp"

#include <atomic>
#include <mutex>
#include <new>

#include "module/bind.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/results.hpp"

namespace quibra::py {
namespace {

// An instance: the object header followed by its native fields, which are
// constructed in place after allocation and destroyed before the memory is
// freed.
template <class Fields>
struct Instance {
  PyObject_HEAD
  Fields fields;
};

template <class Fields>
Fields& fields_of(PyObject* self) {
  return reinterpret_cast<Instance<Fields>*>(self)->fields;
}

template <class Fields>
void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  fields_of<Fields>(self).~Fields();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// A new instance of `type` holding `fields`.
template <class Fields>
Ref new_instance(PyObject* type, Fields&& fields) {
  auto* type_object = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type_object, Py_tp_alloc));
  Ref self = created(alloc(type_object, 0));
  new (&fields_of<Fields>(self.get())) Fields(std::move(fields));
  return self;
}

// Attribute getters: each read builds a new Python value from the field.
template <class Fields, auto Read>
PyObject* getter(PyObject* self, void*) noexcept {
  return guarded([&] { return Read(fields_of<Fields>(self)).release(); });
}

template <class Fields, auto Read>
constexpr PyGetSetDef attribute(const char* name) {
  return PyGetSetDef{name, getter<Fields, Read>, nullptr, nullptr, nullptr};
}

// --- ChannelResult ---------------------------------------------------------

constexpr const char* channel_parameters[] = {"name", "ranked_ids", "weight"};
constexpr Signature channel_signature{"ChannelResult.__new__", channel_parameters, 2};

PyObject* channel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    std::vector<Ref> keep;
    const auto [name, ranked_ids, weight] = bind<3>(channel_signature, args, kwargs, keep);
    ChannelData data;
    data.name = std::string(argument("name", [&] { return to_text(name); }).bytes);
    data.ranked_ids = argument("ranked_ids", [&] {
      return to_list(ranked_ids, [](PyObject* id) { return exact_text(id); });
    });
    if (weight != nullptr) data.weight = argument("weight", [&] { return to_float(weight); });
    data.id_keys.reserve(data.ranked_ids.size());
    for (const Ref& id : data.ranked_ids) {
      data.id_keys.push_back({utf8_of(id.get()), static_cast<std::uint64_t>(PyObject_Hash(id.get()))});
    }
    return new_instance(reinterpret_cast<PyObject*>(type), std::move(data)).release();
  });
}

PyGetSetDef channel_attributes[] = {
    attribute<ChannelData, [](const ChannelData& f) { return new_text(f.name); }>("name"),
    attribute<ChannelData, [](const ChannelData& f) {
      return new_list(f.ranked_ids, [](const Ref& id) { return new_text(utf8_of(id.get())); });
    }>("ranked_ids"),
    attribute<ChannelData, [](const ChannelData& f) { return new_float(f.weight); }>("weight"),
    {},
};

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("ChannelResult(name, ranked_ids, weight=1.0)\n--\n\n"
                                  "A single channel's ranked result.")},
    {Py_tp_new, reinterpret_cast<void*>(channel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ChannelData>)},
    {Py_tp_getset, channel_attributes},
    {0, nullptr},
};

// --- FusedResult -----------------------------------------------------------
//
// fuse makes thousands of these per call, so each is one allocation: the
// fixed fields, then one entry per channel, then the id's and the channel
// names' bytes.

struct FusedEntry {
  double contribution;
  std::uint64_t rank;
  std::size_t name_offset;  // into the instance's text bytes
  std::size_t name_size;
};

struct FusedObject {
  PyObject_VAR_HEAD
  double score;
  std::size_t id_size;
  std::size_t entry_count;

  const FusedEntry* entries() const { return reinterpret_cast<const FusedEntry*>(this + 1); }
  FusedEntry* entries() { return reinterpret_cast<FusedEntry*>(this + 1); }
  const char* bytes() const { return reinterpret_cast<const char*>(entries() + entry_count); }
  char* bytes() { return reinterpret_cast<char*>(entries() + entry_count); }
  std::string_view symbol_id() const { return {bytes(), id_size}; }
  std::string_view channel(const FusedEntry& e) const { return {bytes() + e.name_offset, e.name_size}; }
};
static_assert(sizeof(FusedObject) % alignof(FusedEntry) == 0);

template <auto Read>
PyObject* fused_getter(PyObject* self, void*) noexcept {
  return guarded([&] { return Read(*reinterpret_cast<const FusedObject*>(self)).release(); });
}

template <auto Value>
Ref channel_dict(const FusedObject& f) {
  Ref dict = new_dict();
  for (std::size_t i = 0; i < f.entry_count; ++i) {
    const FusedEntry& entry = f.entries()[i];
    dict_insert(dict.get(), new_text(f.channel(entry)).get(), Value(entry).get());
  }
  return dict;
}

PyGetSetDef fused_attributes[] = {
    {"symbol_id", fused_getter<[](const FusedObject& f) { return new_text(f.symbol_id()); }>,
     nullptr, nullptr, nullptr},
    {"score", fused_getter<[](const FusedObject& f) { return new_float(f.score); }>, nullptr,
     nullptr, nullptr},
    {"channel_contributions",
     fused_getter<channel_dict<[](const FusedEntry& e) { return new_float(e.contribution); }>>,
     nullptr, nullptr, nullptr},
    {"channel_ranks", fused_getter<channel_dict<[](const FusedEntry& e) { return new_int(e.rank); }>>,
     nullptr, nullptr, nullptr},
    {},
};

void fused_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyType_Slot fused_slots[] = {
    {Py_tp_doc, const_cast<char*>("One symbol's fused score with per-channel breakdown.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(fused_dealloc)},
    {Py_tp_getset, fused_attributes},
    {0, nullptr},
};

// --- PackedItem ------------------------------------------------------------

using budget::PackedRecord;

PyGetSetDef packed_attributes[] = {
    attribute<PackedRecord, [](const PackedRecord& f) { return new_text(f.symbol_id); }>("symbol_id"),
    attribute<PackedRecord, [](const PackedRecord& f) { return new_text(f.file); }>("file"),
    attribute<PackedRecord, [](const PackedRecord& f) { return new_float(f.adjusted_score); }>(
        "adjusted_score"),
    attribute<PackedRecord, [](const PackedRecord& f) { return new_float(f.original_score); }>(
        "original_score"),
    attribute<PackedRecord, [](const PackedRecord& f) { return new_int(f.tokens); }>("tokens"),
    {},
};

PyType_Slot packed_slots[] = {
    {Py_tp_doc, const_cast<char*>("Result of packing a single symbol into the budget.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<PackedRecord>)},
    {Py_tp_getset, packed_attributes},
    {0, nullptr},
};

// Immutable, final (no Py_TPFLAGS_BASETYPE), no __dict__ and no weak
// references (neither slot is declared).
template <class Fields>
PyType_Spec spec(const char* name, PyType_Slot* slots, unsigned long extra_flags) {
  return PyType_Spec{name, static_cast<int>(sizeof(Instance<Fields>)), 0,
                     static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | extra_flags),
                     slots};
}

PyType_Spec channel_spec = spec<ChannelData>("builtins.ChannelResult", channel_slots, 0);
PyType_Spec fused_spec = {"builtins.FusedResult", static_cast<int>(sizeof(FusedObject)), 1,
                          static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                                    Py_TPFLAGS_DISALLOW_INSTANTIATION),
                          fused_slots};
PyType_Spec packed_spec =
    spec<PackedRecord>("builtins.PackedItem", packed_slots, Py_TPFLAGS_DISALLOW_INSTANTIATION);

// Needs the interpreter lock. On failure the Python error is set and the
// partly built objects are released.
bool create(ProcessObjects& objects) {
  Ref channel = Ref::steal(PyType_FromSpec(&channel_spec));
  Ref fused = channel ? Ref::steal(PyType_FromSpec(&fused_spec)) : Ref();
  Ref packed = fused ? Ref::steal(PyType_FromSpec(&packed_spec)) : Ref();
  Ref panic = packed ? Ref::steal(PyErr_NewExceptionWithDoc(
                           "pyo3_runtime.PanicException",
                           "The exception raised when an internal fault (a broken invariant) "
                           "is detected.\n\nIt derives from BaseException rather than Exception, "
                           "so that it propagates to the top like SystemExit.",
                           PyExc_BaseException, nullptr))
                     : Ref();
  if (!panic) return false;
  objects = ProcessObjects{channel.release(), fused.release(), packed.release(), panic.release()};
  return true;
}

ProcessObjects objects_storage;
std::atomic<const ProcessObjects*> objects_ready{nullptr};
std::once_flag objects_once;

}  // namespace

// Created once under std::call_once. A thread that has to wait must not hold
// the interpreter lock meanwhile (the creating thread needs it), so the lock
// is released around the guard and taken back inside it for the creation.
const ProcessObjects& process_objects() {
  if (const ProcessObjects* ready = objects_ready.load(std::memory_order_acquire)) return *ready;
  Py_BEGIN_ALLOW_THREADS
  std::call_once(objects_once, [] {
    PyGILState_STATE state = PyGILState_Ensure();
    if (create(objects_storage)) objects_ready.store(&objects_storage, std::memory_order_release);
    PyGILState_Release(state);
  });
  Py_END_ALLOW_THREADS
  if (const ProcessObjects* ready = objects_ready.load(std::memory_order_acquire)) return *ready;
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_ImportError, "_quibra_core: creating its classes failed earlier");
  }
  throw PythonError{};
}

void set_internal_fault(const char* message) noexcept {
  const ProcessObjects* objects = objects_ready.load(std::memory_order_acquire);
  PyErr_SetString(objects ? objects->panic : PyExc_SystemError, message);
}

const ChannelData& channel_data(PyObject* object) {
  if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(process_objects().channel_result))) {
    type_mismatch(object, "ChannelResult");
  }
  return fields_of<ChannelData>(object);
}

Ref new_fused_result(const fusion::Fusion& fusion, const fusion::FusedRecord& record) {
  const auto scores = fusion.scores_of(record);
  std::size_t text_size = record.symbol_id.size();
  for (const auto& score : scores) text_size += fusion.channel_names[score.channel].size();
  const std::size_t extra = scores.size() * sizeof(FusedEntry) + text_size;
  if (extra > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();

  auto* type = reinterpret_cast<PyTypeObject*>(process_objects().fused_result);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Ref self = created(alloc(type, static_cast<Py_ssize_t>(extra)));
  auto& fused = *reinterpret_cast<FusedObject*>(self.get());
  fused.score = record.score;
  fused.id_size = record.symbol_id.size();
  fused.entry_count = scores.size();
  char* text = std::copy(record.symbol_id.begin(), record.symbol_id.end(), fused.bytes());
  FusedEntry* entry = fused.entries();
  for (const auto& score : scores) {
    const std::string_view name = fusion.channel_names[score.channel];
    *entry++ = FusedEntry{score.contribution, score.rank, static_cast<std::size_t>(text - fused.bytes()),
                          name.size()};
    text = std::copy(name.begin(), name.end(), text);
  }
  return self;
}

Ref new_packed_item(budget::PackedRecord&& record) {
  return new_instance(process_objects().packed_item, std::move(record));
}

}  // namespace quibra::py
