#include "stain/stain_transform.h"

#include <utility>

#include "stain/channel_mapping.h"
#include "stain/od_stain.h"

namespace histonorm {

void Recombine(const StainChannelPlanes& values, const CColourDeconv& own, const CColourDeconv& target,
               const std::optional<OdStainParams>& labelFree, cv::Mat& mapped) {
  if (labelFree) {
    target.ChannelsToImageKeepingResidual(values, own, mapped);
  } else {
    target.ChannelsToImage(values, mapped);
  }
}

void ApplyStage(const FittedStage& stage, const CColourDeconv& target, const cv::Mat& colours,
                cv::Mat& mapped) {
  StainChannelPlanes values;
  stage.deconv.ImageToChannels(colours, values);
  for (std::size_t i = 0; i < 2; ++i) MapChannel(stage.curves[i], values.plane[i]);
  mapped.create(colours.size(), CV_8UC3);
  Recombine(values, stage.deconv, target, stage.glass, mapped);
  if (stage.glass) KeepGlass(colours, mapped, *stage.glass, 1);
}

StainTransform::StainTransform(const CColourDeconv& target, std::optional<FittedStage> first,
                               std::optional<FittedStage> second)
    : target_(target), first_(std::move(first)), second_(first_ ? std::move(second) : std::nullopt) {
  // Each application works on the calling thread alone: callers apply the transform to many tiles at once.
  target_.threads = 1;
  for (std::optional<FittedStage>* stage : {&first_, &second_}) {
    if (*stage) (*stage)->deconv.threads = 1;
  }
}

void StainTransform::MapColours(const cv::Mat& colours, cv::Mat& mapped) const {
  if (!first_) {
    colours.copyTo(mapped);
    return;
  }
  if (!second_) {
    ApplyStage(*first_, target_, colours, mapped);
    return;
  }
  cv::Mat firstResult;
  ApplyStage(*first_, target_, colours, firstResult);
  ApplyStage(*second_, target_, firstResult, mapped);
}

}  // namespace histonorm
