// Viewer choice, raw-text rendering and the isolation the viewers run in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "preview/document_view.h"
#include "engine/record_text.h"
#include "preview/isolated_run.h"
#include "preview/photo_navigation.h"
#include "preview/raw_text.h"

namespace velmora::preview {
namespace {

TEST(ViewerChoiceTest, ListsInOrderWithSubstringsWithinOneEntry) {
  EXPECT_EQ(ChooseViewer("doc"), ViewerKind::kWord);
  EXPECT_EQ(ChooseViewer("DOTM"), ViewerKind::kWord);
  EXPECT_EQ(ChooseViewer("ppt"), ViewerKind::kPowerPoint);
  EXPECT_EQ(ChooseViewer("xls"), ViewerKind::kExcel);
  EXPECT_EQ(ChooseViewer("PDF"), ViewerKind::kPdf);
  EXPECT_EQ(ChooseViewer("ar"), ViewerKind::kArchive);  // inside "rar", "tar", "arj"
  EXPECT_EQ(ChooseViewer("o"), ViewerKind::kWord);      // first list that has it wins
  EXPECT_EQ(ChooseViewer("pd"), ViewerKind::kPdf);
  EXPECT_EQ(ChooseViewer(""), ViewerKind::kNone);     // would match every list
  EXPECT_EQ(ChooseViewer("c|*"), ViewerKind::kNone);  // spans two entries
  EXPECT_EQ(ChooseViewer("jpg"), ViewerKind::kNone);
}

TEST(ViewerChoiceTest, RecordKindsFromTheirNames) {
  const PreviewKind pdf = ClassifyForPreview("Report.PDF");
  EXPECT_TRUE(pdf.document && pdf.pdf);
  EXPECT_EQ(pdf.viewer, ViewerKind::kPdf);
  const PreviewKind song = ClassifyForPreview("song.mp3");
  EXPECT_TRUE(song.media && song.audio && !song.document);
  const PreviewKind film = ClassifyForPreview("film.mkv");
  EXPECT_TRUE(film.media && !film.audio);
  EXPECT_EQ(ClassifyForPreview("backup.tar.gz").viewer, ViewerKind::kArchive);
  EXPECT_EQ(ClassifyForPreview("photo.jpg").viewer, ViewerKind::kNone);
  EXPECT_FALSE(ClassifyForPreview("notes.c").document);  // no substring matches here
  EXPECT_FALSE(ClassifyForPreview("README").document);
}

TEST(RawTextTest, OneCharacterPerByteWithBreaksEvery1024) {
  const uint8_t bytes[] = {'A', 0, 0xE9, '\n'};
  EXPECT_EQ(RawText(bytes, 4), "A.\xC3\xA9\n\r\n");
  EXPECT_EQ(RawText(bytes, 0), "");
  const std::vector<uint8_t> line(1024, 'x');
  EXPECT_EQ(RawText(line.data(), 1023), std::string(1023, 'x') + "\r\n");
  EXPECT_EQ(RawText(line.data(), 1024), std::string(1024, 'x') + "\r\n");
  std::vector<uint8_t> longer(1025, 'y');
  EXPECT_EQ(RawText(longer.data(), 1025), std::string(1024, 'y') + "\r\ny\r\n");
}

TEST(IsolatedRunTest, ResultsCrashesAndHangs) {
  std::string text;
  EXPECT_TRUE(RunIsolated(
      [](std::string* out) {
        *out = std::string(300000, 'z');
        return true;
      },
      std::chrono::seconds(10), &text));
  EXPECT_EQ(text, std::string(300000, 'z'));
  EXPECT_FALSE(RunIsolated(
      [](std::string* out) {
        *out = "partial";
        return false;
      },
      std::chrono::seconds(10), &text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(
      RunIsolated([](std::string*) -> bool { std::abort(); }, std::chrono::seconds(10), &text));
  EXPECT_FALSE(RunIsolated(
      [](std::string*) {
        throw std::runtime_error("bad");
        return true;
      },
      std::chrono::seconds(10), &text));
  // A copy that never finishes is ended when its time is up.
  EXPECT_FALSE(RunIsolated(
      [](std::string*) {
        for (;;) ::pause();
        return true;
      },
      std::chrono::milliseconds(200), &text));
  // A lock held by another thread at the fork stays held in the copy forever: that copy
  // is replaced by a new one rather than taken for a failure of the work.
  std::mutex held;
  std::atomic<bool> locked{false};
  std::thread holder([&] {
    const std::lock_guard<std::mutex> lock(held);
    locked = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  });
  while (!locked) std::this_thread::yield();
  EXPECT_TRUE(RunIsolated(
      [&held](std::string* out) {
        const std::lock_guard<std::mutex> lock(held);
        *out = "took the lock";
        return true;
      },
      std::chrono::seconds(10), &text));
  holder.join();
  EXPECT_EQ(text, "took the lock");
#ifndef __SANITIZE_ADDRESS__  // the sanitizer build runs the copy without a memory cap
  // Memory beyond the allowance fails the copy, not the caller.
  EXPECT_FALSE(RunIsolated(
      [](std::string* out) {
        std::vector<char> huge(size_t{3} << 30, 1);
        *out = std::to_string(huge[12345]);
        return true;
      },
      std::chrono::seconds(10), &text));
#endif
}

}  // namespace
}  // namespace velmora::preview

namespace velmora::preview {
namespace {

ScanRecord Named(const char* name, uint32_t index) {
  ScanRecord record{};
  SetRecordName(&record, name);
  record.source_kind = 1;
  record.record_index = index;
  record.object_id = 7;  // the same first cluster for all: only the log position tells them apart
  return record;
}

TEST(PhotoNavigationTest, NextAndPreviousPhotoWrapAround) {
  const ScanRecordList list = {Named("a.jpg", 1), Named("b.txt", 2), Named("c.PNG", 3),
                               Named("d.doc", 4)};
  EXPECT_EQ(AdjacentPhoto(list, list[0], true), 2u);
  EXPECT_EQ(AdjacentPhoto(list, list[2], true), 0u);   // wraps at the end
  EXPECT_EQ(AdjacentPhoto(list, list[0], false), 2u);  // wraps at the start
  EXPECT_EQ(AdjacentPhoto(list, list[1], false), 0u);
  const ScanRecordList alone = {Named("only.jpg", 1), Named("x.txt", 2)};
  EXPECT_FALSE(AdjacentPhoto(alone, alone[0], true));
  EXPECT_FALSE(AdjacentPhoto(list, Named("gone.jpg", 9), true));
}

}  // namespace
}  // namespace velmora::preview
