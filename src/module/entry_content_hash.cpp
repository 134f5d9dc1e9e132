// content_hash(content), batch_content_hash(contents)
#include "content_hash/content_hash.hpp"
#include "module/bind.hpp"
#include "module/convert.hpp"
#include "module/entries.hpp"
#include "module/results.hpp"

namespace quibra::py {
namespace {

constexpr const char* content_parameters[] = {"content"};
constexpr Signature content_signature{"content_hash", content_parameters, 1};

constexpr const char* batch_parameters[] = {"contents"};
constexpr Signature batch_signature{"batch_content_hash", batch_parameters, 1};

Ref new_hash_text(const content_hash::HashText& text) {
  return new_text(std::string_view(text.data(), text.size()));
}

PyObject* content_hash(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto [content_arg] = bind<1>(content_signature, args, nargs, kwnames);
    const ByteContent content = argument("content", [&] { return to_bytes(content_arg); });
    return new_hash_text(content_hash::format_hash(content_hash::hash_bytes(content.bytes()))).release();
  });
}

PyObject* batch_content_hash(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto [contents_arg] = bind<1>(batch_signature, args, nargs, kwnames);
    const auto contents = argument("contents", [&] {
      return to_list(contents_arg, [](PyObject* item) { return to_pair(item, to_text, to_byte_content); });
    });

    std::vector<content_hash::FileContent> files;
    files.reserve(contents.size());
    for (const auto& [path, content] : contents) files.push_back({path.bytes, content.bytes()});

    const auto hashed = content_hash::batch_content_hash(files);
    Ref result = new_dict();
    for (const content_hash::FileHash& file : hashed) {
      const Text& path = contents[file.first].first;
      dict_insert(result.get(), same_text(path.owner.get(), path.bytes).get(), new_hash_text(file.text).get());
    }
    return result.release();
  });
}

}  // namespace

PyMethodDef content_hash_def = fast_function(
    "content_hash", content_hash,
    "content_hash(content)\n--\n\n"
    "Compute a content hash for staleness detection.\n"
    "\n"
    "Uses a polynomial rolling hash with the canary seed.\n"
    "This hash is NOT cryptographic \xe2\x80\x94 it's for fast change detection.\n"
    "\n"
    "Args:\n"
    "    content: The file content bytes to hash.\n"
    "\n"
    "Returns:\n"
    "    64-bit hash as hex string.");

PyMethodDef batch_content_hash_def = fast_function(
    "batch_content_hash", batch_content_hash,
    "batch_content_hash(contents)\n--\n\n"
    "Compute content hashes for a batch of files.\n"
    "\n"
    "Args:\n"
    "    contents: List of (file_path, content_bytes) pairs.\n"
    "\n"
    "Returns:\n"
    "    Dict mapping file_path -> hash hex string.");

}  // namespace quibra::py
