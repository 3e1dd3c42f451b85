// Formats tried after the original table rows, in this order. A new format is a file in this
// folder defining `const Format kName` and one line here.
// NOLINT(build/header_guard): included twice by registry.cpp on purpose.
VELMORA_FORMAT(kCr2)
VELMORA_FORMAT(kNef)
VELMORA_FORMAT(kDng)
VELMORA_FORMAT(kOrf)
VELMORA_FORMAT(kRw2)
VELMORA_FORMAT(kOtherJpeg)
VELMORA_FORMAT(kBareMp3)
VELMORA_FORMAT(kAnyLevelGzip)
