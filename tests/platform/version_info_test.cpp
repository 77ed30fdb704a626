#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/kernel.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;
using kernel::FixedFileInfo;
using testing_support::ReadFile;
using testing_support::TempHome;
using testing_support::WriteFile;

Bytes Load(const std::string& path) {
  const std::string text = ReadFile(path);
  return Bytes(text.begin(), text.end());
}

void Put(Bytes& b, std::size_t at, std::uint64_t value, int width, bool bigEndian = false) {
  if (b.size() < at + width) b.resize(at + width);
  for (int i = 0; i < width; ++i)
    b[at + (bigEndian ? width - 1 - i : i)] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t Get32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// The 13 words of a fixed version block for version a.b.c.d.
std::vector<std::uint32_t> FixedWords(unsigned a, unsigned b, unsigned c, unsigned d) {
  return {kernel::kFixedFileInfoSignature,
          0x10000,
          a << 16 | b,
          c << 16 | d,
          a << 16 | b,
          c << 16 | d,
          0x3F,
          0,
          0x40004,
          1,
          0,
          0,
          0};
}

// ---- Synthetic PE images ----------------------------------------------------------------

// Offsets of the parts of a synthetic PE image that the corruption tests change.
struct PeLayout {
  std::size_t resourceDirectoryEntry;  // data directory 2 in the optional header
  std::size_t sectionCount;            // NumberOfSections in the file header
  std::size_t rsrc;                    // file offset of the resource tree
  std::size_t versionBlock;            // file offset of VS_VERSIONINFO
};

// A PE image with one .rsrc section whose tree holds a named type, an
// RCDATA type and RT_VERSION; the section's RVA differs from its file offset.
Bytes BuildPe(bool plus, PeLayout* layout = nullptr) {
  Bytes b(0x400, 0);
  b[0] = 'M';
  b[1] = 'Z';
  const std::size_t pe = 0x80;
  Put(b, 0x3C, pe, 4);
  Put(b, pe, 0x00004550, 4);
  Put(b, pe + 4, plus ? 0x8664 : 0x14C, 2);
  Put(b, pe + 6, 1, 2);  // one section
  const std::size_t optionalSize = plus ? 240 : 224;
  Put(b, pe + 20, optionalSize, 2);
  const std::size_t optional = pe + 24;
  Put(b, optional, plus ? 0x20B : 0x10B, 2);
  Put(b, optional + (plus ? 108 : 92), 16, 4);
  const std::size_t directory = optional + (plus ? 112 : 96) + 2 * 8;
  const std::uint32_t rva = 0x3000;
  const std::size_t raw = 0x400;

  // The tree, relative to its start.
  Bytes t(0x60, 0);
  Put(t, 12, 1, 2);                   // one named type
  Put(t, 14, 2, 2);                   // two ID types
  Put(t, 16, 0x80000000 | 0x160, 4);  // name string offset
  Put(t, 20, 0x80000000 | 0x30, 4);
  Put(t, 24, 10, 4);  // RT_RCDATA
  Put(t, 28, 0x80000000 | 0x30, 4);
  Put(t, 32, 16, 4);  // RT_VERSION
  Put(t, 36, 0x80000000 | 0x48, 4);
  // 0x30: a directory leading to the RCDATA data entry.
  Put(t, 0x30 + 14, 1, 2);
  Put(t, 0x30 + 16, 1, 4);
  Put(t, 0x30 + 20, 0x80000000 | 0x60, 4);
  Put(t, 0x48 + 14, 1, 2);  // the version's name level: ID 1
  Put(t, 0x48 + 16, 1, 4);
  Put(t, 0x48 + 20, 0x80000000 | 0x78, 4);
  Put(t, 0x60 + 14, 1, 2);  // RCDATA's language level
  Put(t, 0x60 + 16, 0x409, 4);
  Put(t, 0x60 + 20, 0xA0, 4);
  Put(t, 0x78 + 14, 1, 2);  // the version's language level
  Put(t, 0x78 + 16, 0x409, 4);
  Put(t, 0x78 + 20, 0x90, 4);
  Put(t, 0x90, rva + 0xC0, 4);  // version data entry: RVA, size
  Put(t, 0x94, 92 + 8, 4);
  Put(t, 0xA0, rva + 0x180, 4);  // RCDATA data entry
  Put(t, 0xA4, 4, 4);
  Put(t, 0x160, 3, 2);  // the type name "ABC"
  for (int i = 0; i < 3; ++i) Put(t, 0x162 + 2 * i, 'A' + i, 2);
  // 0xC0: VS_VERSIONINFO
  const std::size_t v = 0xC0;
  Put(t, v, 92, 2);
  Put(t, v + 2, 52, 2);
  const char key[] = "VS_VERSION_INFO";
  for (std::size_t i = 0; i < sizeof key; ++i) Put(t, v + 6 + 2 * i, key[i], 2);
  const auto words = FixedWords(3, 1, 4, 1);
  for (std::size_t i = 0; i < words.size(); ++i) Put(t, v + 40 + 4 * i, words[i], 4);
  Put(t, 0x180, 0x12345678, 4);
  t.resize(0x200, 0);

  Put(b, directory, rva, 4);
  Put(b, directory + 4, 0x184, 4);
  const std::size_t section = optional + optionalSize;
  std::memcpy(&b[section], ".rsrc", 5);
  Put(b, section + 8, 0x184, 4);  // virtual size
  Put(b, section + 12, rva, 4);
  Put(b, section + 16, t.size(), 4);
  Put(b, section + 20, raw, 4);
  b.insert(b.end(), t.begin(), t.end());
  if (layout) *layout = {directory, pe + 6, raw, raw + v};
  return b;
}

std::optional<FixedFileInfo> Pe(const Bytes& b) {
  return kernel::ParsePEVersionInfo(b);
}

TEST(PeVersion, ReadsPe32AndPe32PlusImages) {
  for (bool plus : {false, true}) {
    auto info = Pe(BuildPe(plus));
    ASSERT_TRUE(info) << plus;
    EXPECT_EQ(info->signature, kernel::kFixedFileInfoSignature);
    EXPECT_EQ(info->fileVersionMS, 0x00030001u);
    EXPECT_EQ(info->fileVersionLS, 0x00040001u);
    EXPECT_EQ(info->fileOS, 0x40004u);
  }
}

TEST(PeVersion, BrokenTablesGiveNothing) {
  PeLayout at;
  const Bytes good = BuildPe(false, &at);
  auto broken = [&](auto change) {
    Bytes b = good;
    change(b);
    return Pe(b);
  };
  // Resource directory past the end of the file, or in no section.
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.resourceDirectoryEntry, 0x7FFFFFF0, 4); }));
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.resourceDirectoryEntry, 0x100, 4); }));
  // A section table that runs off the end.
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.sectionCount, 0xFFFF, 2); }));
  // A section whose raw data lies past the end of the file.
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, 0x80 + 24 + 224 + 20, 0xFFFFFF00, 4); }));
  // Directories that point back at the root or at themselves.
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.rsrc + 36, 0x80000000, 4); }));
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.rsrc + 0x48 + 20, 0x80000000 | 0x48, 4); }));
  // A language level that is a directory instead of a data entry.
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.rsrc + 0x78 + 20, 0x80000000 | 0x78, 4); }));
  // Entry counts far beyond the section.
  EXPECT_FALSE(broken([&](Bytes& b) {
    Put(b, at.rsrc + 12, 0, 2);
    Put(b, at.rsrc + 14, 0xFFFF, 2);
    Put(b, at.rsrc + 32, 99, 4);  // and no RT_VERSION among the real ones
  }));
  // The data entry's size larger than the section, or its RVA outside.
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.rsrc + 0x94, 0x10000, 4); }));
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.rsrc + 0x90, 0xFFFFFFF0, 4); }));
  // The block itself: length beyond the data, short value, wrong key, wrong signature.
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.versionBlock, 0xFFFF, 2); }));
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.versionBlock + 2, 0, 2); }));
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.versionBlock + 6, 'W', 2); }));
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, at.versionBlock + 40, 0xFEEF04BE, 4); }));
  // Headers: signature, magic, optional header too small for the directory.
  EXPECT_FALSE(broken([&](Bytes& b) { b[0x80] = 'X'; }));
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, 0x98, 0x107, 2); }));
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, 0x80 + 20, 100, 2); }));
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, 0x98 + 92, 2, 4); }));  // only two directories
  EXPECT_FALSE(broken([&](Bytes& b) { Put(b, 0x3C, 0xFFFFFFF0, 4); }));
  EXPECT_TRUE(Pe(good));
}

// ---- PE images made by the Windows toolchain ----------------------------------------------

#ifdef KESTREL_TEST_PE_DIR
const std::string kVersioned = KESTREL_TEST_PE_DIR "/versioned.exe";
const std::string kUnversioned = KESTREL_TEST_PE_DIR "/noversion.exe";

// File offset of the resource tree of a real image, found through its section table.
std::size_t ResourceTreeOffset(const Bytes& b) {
  const std::size_t pe = Get32(b, 0x3C);
  const std::size_t sections = pe + 24 + (b[pe + 20] | b[pe + 21] << 8);
  for (std::size_t i = 0; i < static_cast<std::size_t>(b[pe + 6]); ++i) {
    const std::size_t header = sections + 40 * i;
    if (std::memcmp(&b[header], ".rsrc", 6) == 0) return Get32(b, header + 20);
  }
  return 0;
}

TEST(PeVersion, ReadsARealProgramFile) {
  auto info = kernel::GetFileVersionInfo(kVersioned);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->fileVersionMS, 0x00050006u);
  EXPECT_EQ(info->fileVersionLS, 0x00070008u);
  EXPECT_EQ(info->productVersionMS, 0x0009000Au);
  EXPECT_EQ(info->productVersionLS, 0x000B000Cu);
  EXPECT_EQ(info->fileFlagsMask, 0x3Fu);
  EXPECT_EQ(info->fileOS, 0x40004u);
  EXPECT_EQ(info->fileType, 1u);

  EXPECT_EQ(kernel::GetFileVersionInfo(kUnversioned), std::nullopt);
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_RESOURCE_TYPE_NOT_FOUND);
}

TEST(PeVersion, CorruptedCopiesOfARealProgramFile) {
  const Bytes good = Load(kVersioned);
  const std::size_t rsrc = ResourceTreeOffset(good);
  ASSERT_NE(rsrc, 0u);
  const std::size_t pe = Get32(good, 0x3C);
  const unsigned char signature[] = {0xBD, 0x04, 0xEF, 0xFE};
  const auto sig =
      std::search(good.begin(), good.end(), std::begin(signature), std::end(signature));
  ASSERT_NE(sig, good.end());
  const std::size_t fixedEnd = static_cast<std::size_t>(sig - good.begin()) + 52;

  for (std::size_t length = 0; length < good.size(); ++length) {
    auto info = kernel::ParsePEVersionInfo(std::span(good.data(), length));
    if (length < fixedEnd) {
      EXPECT_FALSE(info) << length;
    }
  }

  TempHome home;
  auto fromFile = [&](const Bytes& b) {
    WriteFile(home.Path("copy.exe"), std::string(b.begin(), b.end()));
    return kernel::GetFileVersionInfo(home.Path("copy.exe"));
  };
  Bytes b = good;
  Put(b, pe + 24 + 96 + 16, 0x7FFFF000, 4);  // resource directory past the end
  EXPECT_FALSE(fromFile(b));
  b = good;
  Put(b, rsrc + 16 + 4, 0x80000000, 4);  // RT_VERSION's directory is the root itself
  EXPECT_FALSE(fromFile(b));
  b = good;
  std::copy_n("\xBE\x04\xEF\xFE", 4, b.begin() + (sig - good.begin()));
  EXPECT_FALSE(fromFile(b));
  b.assign(good.begin(), good.begin() + good.size() / 2);
  EXPECT_FALSE(fromFile(b));
  EXPECT_TRUE(fromFile(good));
}
#endif

// ---- ELF ------------------------------------------------------------------------------------

struct ElfOptions {
  bool is64 = true;
  bool bigEndian = false;
  bool sections = true;
  bool segments = true;
  int alignment = 4;
  const char* name = "Kestrel";
  std::uint32_t type = 1;
  std::uint32_t descSize = 52;
};

Bytes BuildElf(const ElfOptions& o) {
  const bool be = o.bigEndian;
  Bytes b(o.is64 ? 64 : 52, 0);
  std::memcpy(b.data(),
              "\x7F"
              "ELF",
              4);
  b[4] = o.is64 ? 2 : 1;
  b[5] = be ? 2 : 1;
  b[6] = 1;
  const int word = o.is64 ? 8 : 4;

  // Notes at 0x100: a build-id note first, then ours.
  const std::size_t notes = 0x100;
  auto align = [&](std::size_t v) { return (v + o.alignment - 1) & ~std::size_t(o.alignment - 1); };
  std::size_t at = notes;
  Put(b, at, 4, 4, be);
  Put(b, at + 4, 20, 4, be);
  Put(b, at + 8, 3, 4, be);
  std::memcpy(&b[at + 12], "GNU", 4);
  at = align(align(at + 16) + 20);
  const std::size_t nameSize = std::strlen(o.name) + 1;
  Put(b, at, nameSize, 4, be);
  Put(b, at + 4, o.descSize, 4, be);
  Put(b, at + 8, o.type, 4, be);
  b.resize(std::max(b.size(), at + 12 + nameSize));
  std::memcpy(&b[at + 12], o.name, nameSize);
  const std::size_t desc = align(at + 12 + nameSize);
  const auto words = FixedWords(2, 7, 1, 8);
  for (std::size_t i = 0; i < words.size() && 4 * i + 4 <= o.descSize; ++i)
    Put(b, desc + 4 * i, words[i], 4, be);
  const std::size_t notesEnd = align(desc + std::min<std::uint32_t>(o.descSize, 52));
  b.resize(notesEnd, 0);

  if (o.segments) {
    const std::size_t ph = 0x400;
    Put(b, o.is64 ? 0x20 : 0x1C, ph, word, be);
    Put(b, o.is64 ? 0x36 : 0x2A, o.is64 ? 56 : 32, 2, be);
    Put(b, o.is64 ? 0x38 : 0x2C, 2, 2, be);
    Put(b, ph, 1, 4, be);  // PT_LOAD first
    const std::size_t note = ph + (o.is64 ? 56 : 32);
    Put(b, note, 4, 4, be);  // PT_NOTE
    Put(b, note + (o.is64 ? 8 : 4), notes, word, be);
    Put(b, note + (o.is64 ? 32 : 16), notesEnd - notes, word, be);
    Put(b, note + (o.is64 ? 48 : 28), o.alignment, word, be);
    b.resize(note + (o.is64 ? 56 : 32), 0);
  }
  if (o.sections) {
    const std::size_t sh = 0x600;
    const int entry = o.is64 ? 64 : 40;
    Put(b, o.is64 ? 0x28 : 0x20, sh, word, be);
    Put(b, o.is64 ? 0x3A : 0x2E, entry, 2, be);
    Put(b, o.is64 ? 0x3C : 0x30, 3, 2, be);
    // [0] null, [1] PROGBITS, [2] NOTE
    Put(b, sh + entry + 4, 1, 4, be);
    const std::size_t note = sh + 2 * entry;
    Put(b, note + 4, 7, 4, be);
    Put(b, note + (o.is64 ? 24 : 16), notes, word, be);
    Put(b, note + (o.is64 ? 32 : 20), notesEnd - notes, word, be);
    Put(b, note + (o.is64 ? 48 : 32), o.alignment, word, be);
    b.resize(sh + 3 * entry, 0);
  }
  return b;
}

std::optional<FixedFileInfo> Elf(const ElfOptions& o) {
  return kernel::ParseELFVersionInfo(BuildElf(o));
}

TEST(ElfVersion, OwnProgramCarriesItsVersionNote) {
  auto info = kernel::GetFileVersionInfo(kernel::GetModuleFileName());
  ASSERT_TRUE(info);
  EXPECT_EQ(info->signature, kernel::kFixedFileInfoSignature);
  EXPECT_EQ(info->fileVersionMS, 0x00010002u);
  EXPECT_EQ(info->fileVersionLS, 0x00030004u);
  EXPECT_EQ(info->productVersionMS, 0x00010002u);
  EXPECT_EQ(info->productVersionLS, 0x00030004u);
}

TEST(ElfVersion, ReadsBothClassesAndByteOrders) {
  for (bool is64 : {false, true}) {
    for (bool big : {false, true}) {
      for (bool sections : {false, true}) {
        ElfOptions o;
        o.is64 = is64;
        o.bigEndian = big;
        o.sections = sections;
        o.segments = !sections;  // each way on its own
        auto info = Elf(o);
        ASSERT_TRUE(info) << is64 << big << sections;
        EXPECT_EQ(info->fileVersionMS, 0x00020007u);
        EXPECT_EQ(info->fileVersionLS, 0x00010008u);
      }
    }
  }
  ElfOptions wide;
  wide.alignment = 8;
  EXPECT_TRUE(Elf(wide));
}

TEST(ElfVersion, OtherNotesAreNotTakenForIt) {
  ElfOptions o;
  o.name = "Kestrem";
  EXPECT_FALSE(Elf(o));
  o = {};
  o.type = 2;
  EXPECT_FALSE(Elf(o));
  o = {};
  o.descSize = 48;
  EXPECT_FALSE(Elf(o));
  o = {};
  o.name = "Kestrel2";
  EXPECT_FALSE(Elf(o));
  EXPECT_FALSE(kernel::GetFileVersionInfo("/bin/sh"));  // a real program without the note
}

TEST(ElfVersion, BrokenTablesGiveNothing) {
  const Bytes good = BuildElf({});
  auto broken = [&](auto change) {
    Bytes b = good;
    change(b);
    return kernel::ParseELFVersionInfo(b);
  };
  // Section and segment tables beyond the file; then the note sizes.
  EXPECT_FALSE(broken([](Bytes& b) {
    Put(b, 0x28, 0xFFFFFFFFFFFFFF00, 8);
    Put(b, 0x20, 0x7FFFFFFFFFFFFFFF, 8);
  }));
  EXPECT_FALSE(broken([](Bytes& b) {
    Put(b, 0x600 + 128 + 32, 0xFFFFFFFFFFFFFFF0, 8);  // section size
    Put(b, 0x400 + 56 + 32, 0xFFFFFFFFFFFFFFF0, 8);   // segment size
  }));
  EXPECT_FALSE(broken([](Bytes& b) {
    Put(b, 0x100, 0xFFFFFFFF, 4);  // name size of the first note
    Put(b, 0x400 + 56 + 8, 0xFFFFFFFFFFFFFFF8, 8);
  }));
  EXPECT_FALSE(broken([](Bytes& b) {
    Put(b, 0x104, 0xFFFFFFF0, 4);  // descriptor size of the first note
    Put(b, 0x400 + 56, 1, 4);
  }));
  EXPECT_FALSE(broken([](Bytes& b) { b[4] = 3; }));  // unknown class
  EXPECT_FALSE(broken([](Bytes& b) { b[5] = 0; }));  // unknown byte order
  EXPECT_TRUE(kernel::ParseELFVersionInfo(good));

  for (std::size_t length = 0; length < good.size(); ++length)
    kernel::ParseELFVersionInfo(std::span(good.data(), length));  // must simply not crash
}

// ---- Files of any kind ---------------------------------------------------------------------

TEST(FileVersion, JunkMissingAndEmptyFilesHaveNoVersion) {
  TempHome home;
  std::mt19937 random(7);
  std::string junk(4096, '\0');
  for (char& c : junk) c = static_cast<char>(random());
  for (const std::string& prefix : {std::string(), std::string("MZ"),
                                    std::string("\x7F"
                                                "ELF")}) {
    WriteFile(home.Path("junk"), prefix + junk);
    EXPECT_FALSE(kernel::GetFileVersionInfo(home.Path("junk"))) << prefix;
  }
  WriteFile(home.Path("empty"), "");
  EXPECT_FALSE(kernel::GetFileVersionInfo(home.Path("empty")));
  EXPECT_FALSE(kernel::GetFileVersionInfo(home.Path("missing.exe")));
  EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(kernel::GetFileVersionInfo(home.Path(".")));
#ifndef _WIN32
  ASSERT_EQ(mkfifo(home.Path("pipe").c_str(), 0600), 0);
  EXPECT_FALSE(kernel::GetFileVersionInfo(home.Path("pipe")));  // and does not wait for a writer
#endif
}

}  // namespace
