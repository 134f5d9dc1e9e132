// fuse(channels, smoothing=None, weights=None)
#include "fusion/fusion.hpp"
#include "module/bind.hpp"
#include "module/classes.hpp"
#include "module/convert.hpp"
#include "module/entries.hpp"
#include "module/results.hpp"

namespace quibra::py {
namespace {

constexpr const char* parameters[] = {"channels", "smoothing", "weights"};
constexpr Signature signature{"fuse", parameters, 1};

// A channel borrowed from its ChannelResult, which is held for the call.
struct HeldChannel {
  Ref instance;
  const ChannelData* data;
};

PyObject* fuse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto [channels_arg, smoothing_arg, weights_arg] = bind<3>(signature, args, nargs, kwnames);
    const auto held = argument("channels", [&] {
      return to_list(channels_arg, [](PyObject* item) {
        return HeldChannel{Ref::borrow(item), &channel_data(item)};
      });
    });
    const double smoothing = argument("smoothing", [&] {
      return is_absent(smoothing_arg) ? fusion::default_smoothing : to_float(smoothing_arg);
    });
    const auto weights = argument("weights", [&] {
      return is_absent(weights_arg) ? decltype(to_dict(weights_arg, to_text, to_float)){}
                                    : to_dict(weights_arg, to_text, to_float);
    });

    std::vector<fusion::Channel> channels;
    channels.reserve(held.size());
    for (const HeldChannel& channel : held) {
      channels.push_back({channel.data->name, channel.data->id_keys, channel.data->weight});
    }
    std::vector<fusion::WeightOverride> overrides;
    overrides.reserve(weights.size());
    for (const auto& [name, weight] : weights) overrides.push_back({name.bytes, weight});

    const fusion::Fusion fused = fusion::fuse(channels, smoothing, overrides);
    return new_list(fused.records, [&](const fusion::FusedRecord& record) {
             return new_fused_result(fused, record);
           }).release();
  });
}

}  // namespace

PyMethodDef fuse_def = fast_function(
    "fuse", fuse,
    "fuse(channels, smoothing=None, weights=None)\n--\n\n"
    "Run Weighted Reciprocal Rank fusion across channels.\n"
    "\n"
    "Args:\n"
    "    channels: List of ChannelResult from each scoring channel.\n"
    "    smoothing: RRF smoothing constant k (default uses canary value).\n"
    "    weights: Optional per-channel weight overrides.\n"
    "\n"
    "Returns:\n"
    "    List of FusedResult sorted by descending fused score.");

}  // namespace quibra::py
