// The Windows-1250 table: any bytes decode and encode back unchanged; any UTF-16 text either
// encodes and decodes back unchanged or is refused at its first character the code page cannot
// hold; case folding is stable and comparison without regard to case behaves as an equality.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/cp1250.h"

namespace {

namespace cp1250 = veldoran::cp1250;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::abort();
}

std::string Upper(const std::string& bytes) {
  std::string out = bytes;
  for (char& c : out) c = static_cast<char>(cp1250::ToUpper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string a = input.ConsumeRandomLengthString(64);
  const std::string b = input.ConsumeRandomLengthString(64);
  std::u16string text;
  while (input.remaining_bytes() >= 2) text.push_back(input.ConsumeIntegral<char16_t>());

  // Bytes.
  const std::u16string decoded = cp1250::Decode(a);
  Check(decoded.size() == a.size(), "one character per byte");
  Check(cp1250::Encode(decoded) == a, "bytes survive a decode and encode");

  // Text.
  std::size_t bad = text.size() + 1;
  const auto encoded = cp1250::Encode(text, &bad);
  if (encoded) {
    Check(cp1250::Decode(*encoded) == text, "encodable text survives an encode and decode");
    for (const char16_t ch : text) Check(cp1250::CanEncode(ch), "encoded text is encodable");
  } else {
    Check(bad < text.size(), "a refusal names a position in the text");
    Check(!cp1250::CanEncode(text[bad]), "the refused character cannot be held");
    for (std::size_t i = 0; i < bad; ++i) {
      Check(cp1250::CanEncode(text[i]), "the refused character is the first that cannot be held");
    }
  }

  // Case.
  const std::string upper = Upper(a);
  Check(Upper(upper) == upper, "upper case is stable");
  Check(cp1250::EqualsIgnoreCase(a, a), "a text equals itself");
  Check(cp1250::EqualsIgnoreCase(a, upper), "a text equals its upper case");
  Check(cp1250::EqualsIgnoreCase(a, b) == cp1250::EqualsIgnoreCase(b, a), "symmetric");
  Check(cp1250::EqualsIgnoreCase(a, b) == (upper == Upper(b)), "equal when the upper cases are");
  return 0;
}
