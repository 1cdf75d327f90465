// The preview and tap-to-focus on the synthetic camera.
#include <gtest/gtest.h>

#include "kestrune/KNCaptureVideoView.h"
#include "kestrune/KNRecorder.h"
#include "platform/DispatchQueue.h"
#include "platform/RunLoop.h"
#include "platform/ui/View.h"

TEST(KNRecorderPreview, PreviewGoesIntoTheHostViewWithTapToFocusAndLeavesAtTheEnd) {
    auto view = platform::View::createWithFrame({{0, 0}, {320, 240}});
    auto recorder = KNRecorder::create();
    recorder->setupWithView(view);
    recorder->activateFeatureTapToFocus();
    recorder->prepareToRecord();

    ASSERT_EQ(view->subviews().size(), 1u);
    const auto preview = std::dynamic_pointer_cast<KNCaptureVideoView>(view->subviews().front());
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->gestureRecognizers().size(), 2u);
    recorder->deactivateFeatureTapToFocus();
    EXPECT_TRUE(preview->gestureRecognizers().empty());

    recorder->endSession();
    EXPECT_TRUE(view->subviews().empty());
    auto drained = std::make_shared<std::atomic<bool>>(false);
    platform::DispatchQueue::main()->async([drained] { *drained = true; });
    platform::RunLoop::main().runUntil([drained] { return drained->load(); }, std::chrono::seconds(10));
}
