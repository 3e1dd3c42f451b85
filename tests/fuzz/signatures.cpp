// The signature catalogue over an input that is both the first sector's buffer and the
// source the length rules read on from: every row's identify operation, the length
// operation of each row that accepts, then the catalogue's own identify-and-measure.
#include <algorithm>
#include <vector>

#include "deep/structure_classifier.h"
#include "fuzz_support.h"
#include "fuzz_target.h"
#include "signature/identify_walk.h"
#include "signature/signature_catalogue.h"
#include "signature/signature_table.h"

using namespace velmora;

VELMORA_FUZZ_TARGET(signatures) {
  fuzz::MemoryImage image(data, size, 512);
  if (!image.ok()) return;
  SectorReader reader;
  if (OpenImageFile(&reader, image.path()) != 0) return;
  // The buffer a scan hands over: its current read, here at most 64 KiB.
  std::vector<uint8_t> buffer(std::max<size_t>(512, std::min<size_t>(size, 65536)), 0);
  std::copy_n(data, std::min(size, buffer.size()), buffer.begin());

  // Each row gets a fresh context; the scratch buffer moves from one to the next.
  static std::vector<uint8_t> scratch(CarveContext::kScratchBytes);
  for (const SignatureRow* row = SignatureTable(); row->type != kNoSignatureType; ++row) {
    CarveContext context;
    context.scratch.swap(scratch);
    context.source = &reader;
    const int type = row->identify(context, buffer.data(), buffer.size());
    if (type != kNoSignatureType && row->length != nullptr) {
      (void)row->length(context, buffer.data(), buffer.size());
      (void)CheckContentMatchesExtension(buffer.data(), buffer.size(), row->extension, &reader, 512,
                                         0);
    }
    context.scratch.swap(scratch);
  }

  CarveContext context = CarveContext::ForMeasuring();
  context.structure_tests = FileSystemStructureTests();
  const int walked = IdentifyType(context, buffer.data(), buffer.size());
  CarveContext reference = CarveContext::ForMeasuring();
  reference.structure_tests = context.structure_tests;
  FUZZ_CHECK(walked == IdentifyTypeInTableOrder(reference, buffer.data(), buffer.size()));
  if (!MayIdentify(buffer.data(), buffer.size())) FUZZ_CHECK(walked == kNoSignatureType);

  CarveResult result;
  const int err = IdentifyAndMeasure(context, 512, &reader, buffer.data(), buffer.size(), 0,
                                     CarveProgress{}, &result);
  if (err == 0) {
    FUZZ_CHECK(result.length <= image.bytes());
    FUZZ_CHECK(result.length <= result.uncut_length);
    FUZZ_CHECK(ExtensionOfType(result.type)[0] != '\0');
  }
}
