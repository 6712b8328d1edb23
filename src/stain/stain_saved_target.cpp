// Saving and loading the stain method's pooled target.
#include <array>
#include <cmath>
#include <string>

#include "base/target_record.h"
#include "common/sha256.h"
#include "histonorm/saved_target.h"
#include "stain/norm_bimodal_deconv_rvm.h"

namespace histonorm {

namespace {

const std::array<const char*, 3> kClassNames = {"classB", "classA", "classO"};
const std::array<const char*, 2> kChannelNames = {"channel0", "channel1"};

// The model's size and digest, or null for a normaliser given its classifier directly.
nlohmann::json ModelIdentity(const std::string& path) {
  if (path.empty()) return nullptr;
  const std::optional<FileDigest> digest = DigestFile(path);
  if (!digest) throw TargetFileError("cannot read the colour model '" + path + "' to check it");
  return {{"size", digest->size}, {"sha256", digest->sha256}};
}

std::string Describe(const nlohmann::json& model) {
  if (model.is_null()) return "no model file";
  return std::to_string(model.value("size", std::uint64_t{0})) + " bytes, SHA-256 " +
         model.value("sha256", std::string("?"));
}

StainSampleSums ReadSamples(const nlohmann::json& t) {
  const auto it = t.find("samples");
  if (it == t.end() || !it->is_object()) throw TargetFileError("'samples' is missing");
  const nlohmann::json& samples = *it;
  const nlohmann::json& colourSum = detail::ReadArray(samples, "colourSum", 2);
  const nlohmann::json& count = detail::ReadArray(samples, "count", 2);
  const nlohmann::json& candidates = detail::ReadArray(samples, "candidates", 2);
  StainSampleSums sums;
  for (std::size_t k = 0; k < 2; ++k) {
    sums.count[k] = detail::ReadCount(count[k], "count");
    sums.candidates[k] = detail::ReadCount(candidates[k], "candidates");
    if (sums.count[k] > sums.candidates[k]) {
      throw TargetFileError("stain class " + std::to_string(k) + " has more samples than candidates");
    }
    if (!colourSum[k].is_array() || colourSum[k].size() != 3)
      throw TargetFileError("'colourSum' is not 2 x 3");
    for (std::size_t i = 0; i < 3; ++i) {
      const nlohmann::json value = {{"colourSum", colourSum[k][i]}};
      sums.colourSum[k][i] = detail::ReadFiniteDouble(value, "colourSum");
      // Every sample's colour value lies in [0, 255].
      if (sums.colourSum[k][i] < 0 || sums.colourSum[k][i] > 255.0 * static_cast<double>(sums.count[k])) {
        throw TargetFileError("the colour sums of stain class " + std::to_string(k) + " do not add up");
      }
    }
  }
  return sums;
}

}  // namespace

void CNormBimodalDeconvRVM::ExportTarget(detail::TargetRecord& record) const {
  record.method = method_;
  nlohmann::json histograms;
  for (int c = 0; c < 2; ++c) {
    for (int cls = 0; cls < 3; ++cls) {
      histograms[kChannelNames[c]][kClassNames[cls]] =
          targetHistograms_.Counts(c, static_cast<StainClass>(cls));
    }
  }
  nlohmann::json colourSum = nlohmann::json::array();
  for (const auto& sum : targetSamples_.colourSum) {
    colourSum.push_back({detail::HexDouble(sum[0]), detail::HexDouble(sum[1]), detail::HexDouble(sum[2])});
  }
  record.target = {{"model", ModelIdentity(modelPath_)},
                   {"histograms", histograms},
                   {"samples",
                    {{"colourSum", colourSum},
                     {"count", targetSamples_.count},
                     {"candidates", targetSamples_.candidates}}}};
}

void CNormBimodalDeconvRVM::ImportTarget(const detail::TargetRecord& record) {
  detail::RequireMethod(record, method_);
  const nlohmann::json& t = record.target;
  const nlohmann::json saved = t.contains("model") ? t["model"] : nlohmann::json();
  const nlohmann::json ours = ModelIdentity(modelPath_);
  if (saved != ours) {
    throw TargetFileError("Target was fitted with another colour model: " + Describe(saved) + ", not " +
                          Describe(ours));
  }
  const auto all = t.find("histograms");
  if (all == t.end() || !all->is_object()) throw TargetFileError("'histograms' is missing");
  ChannelHistograms histograms;
  for (int c = 0; c < 2; ++c) {
    const auto channel = all->find(kChannelNames[c]);
    if (channel == all->end() || !channel->is_object()) {
      throw TargetFileError(std::string("'") + kChannelNames[c] + "' is missing");
    }
    for (int cls = 0; cls < 3; ++cls) {
      const nlohmann::json& bins = detail::ReadArray(*channel, kClassNames[cls], ChannelHistograms::kBins);
      ChannelHistograms::Histogram& counts = histograms.Counts(c, static_cast<StainClass>(cls));
      for (std::size_t b = 0; b < counts.size(); ++b)
        counts[b] = detail::ReadCount(bins[b], kClassNames[cls]);
    }
  }
  const StainSampleSums samples = ReadSamples(t);
  CColourDeconv deconv(OwnSinks().log, params_.dotProductThreshold, threads_);
  deconv.BuildFromSampleSums(samples);
  if (!deconv.IsUsable()) throw TargetFileError("the saved stain samples give no usable stain estimate");
  const ChannelStats stats = ComputeChannelStats(histograms, LogSink{});
  targetHistograms_ = histograms;
  targetSamples_ = samples;
  targetDeconv_ = deconv;
  for (int i = 0; i < 2; ++i) target_[i] = TargetStatsOf(stats.channel[i]);
  targetUsable_ = true;
}

}  // namespace histonorm
