#include "app/image_workflow.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora::app {
namespace {

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// Keeps what the copy reports; cancels at its first report when told to.
class Recorder : public WorkflowObserver {
 public:
  Recorder(CancelToken& cancel, bool cancel_first) : cancel_(cancel), cancel_first_(cancel_first) {}
  void OnStage(const std::string& text) override { stage = text; }
  void OnImageProgress(const ImageProgress& progress) override {
    reports.push_back(progress);
    if (cancel_first_) cancel_.Cancel();
  }
  std::string stage;
  std::vector<ImageProgress> reports;

 private:
  CancelToken& cancel_;
  bool cancel_first_;
};

// Both faces copy through this one workflow: an image file in 64 KiB chunks,
// stopped after its first chunk and then carried on from its map to the same bytes.
TEST(ImageWorkflowTest, StoppedCopyGoesOnToTheSameBytesWithTextsOfTheLanguage) {
  const std::string dir = testing::MakeTempDir("image_workflow");
  const std::string input = dir + "/card.img";
  {
    std::ofstream out(input, std::ios::binary);
    for (int i = 0; i < 3 * 65536 + 1024; ++i) out.put(static_cast<char>((i * 7) % 253));
  }
  ScanSource row;
  row.image_path = input;
  const ImageOrigin origin = ImageOriginOf(row);
  const std::string copy = dir + "/copy.img";
  std::string refusal;
  ASSERT_EQ(ImageWorkflow::CheckDestination(origin, copy, false, &refusal), kSuccess) << refusal;
  EXPECT_NE(ImageWorkflow::CheckDestination(origin, input, true, &refusal), kSuccess);

  ImageWorkflow imaging({{"MSG0301", "Progress:"}, {"MSG0302", "Writing"}, {"MSG0303", "Sector"}});
  CancelToken stop;
  Recorder stopper(stop, true);
  EXPECT_EQ(imaging.Run(origin, copy, ImageOptions{}, stopper, stop), kCancelledByUser);
  ASSERT_EQ(stopper.reports.size(), 1u);
  EXPECT_EQ(stopper.stage, "Writing " + copy);
  EXPECT_EQ(stopper.reports[0].sectors_text, "Sector 128 / 386");
  EXPECT_EQ(stopper.reports[0].percent_text, "Progress: 33%");

  CancelToken go_on;
  Recorder recorder(go_on, false);
  EXPECT_EQ(imaging.Run(origin, copy, ImageOptions{}, recorder, go_on), kSuccess);
  EXPECT_EQ(imaging.Writer().resumed_bytes, 65536u);
  EXPECT_EQ(recorder.reports.back().percent, 100);
  EXPECT_EQ(ReadAll(copy), ReadAll(input));
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora::app
