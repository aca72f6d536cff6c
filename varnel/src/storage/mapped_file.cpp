#include "storage/mapped_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "runtime/error.h"
#include "index/partitioned_index.h"
#include "runtime/file_mapping.h"
#include "storage/checksum.h"
#include "storage/io.h"

namespace varnel {
namespace {

constexpr std::string_view kMagic = "VMAP";
constexpr uint64_t kHeaderChecksumOffset = 40;

// The mapping is used in place, so its numbers must already be in the
// machine's order: the layout is little-endian, like every machine varnel
// supports.
static_assert(std::endian::native == std::endian::little, "the mapped layout is little-endian");

// A section tag: four letters read as a little-endian uint32.
constexpr uint32_t tag_of(std::string_view name) {
  return uint32_t(uint8_t(name[0])) | uint32_t(uint8_t(name[1])) << 8 | uint32_t(uint8_t(name[2])) << 16 |
         uint32_t(uint8_t(name[3])) << 24;
}
constexpr uint32_t kCodes = tag_of("CODE");
constexpr uint32_t kNorms = tag_of("NORM");
constexpr uint32_t kIds = tag_of("IDS_");
constexpr uint32_t kLookup = tag_of("LOOK");
constexpr uint32_t kLengths = tag_of("LENS");
constexpr uint32_t kCentroids = tag_of("CENT");
constexpr uint32_t kShifts = tag_of("SHFT");
// Where a partitioned index keeps its list count (zero for the other kinds).
constexpr uint64_t kListCountOffset = 44;

struct Section {
  uint32_t tag = 0;
  uint32_t group = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t count = 0;
};

struct Header {
  MappedKind kind = MappedKind::Skerry;
  uint8_t version = kMappedVersion;
  uint64_t bits = 0;
  Rotation rotation = Rotation::Rotor3;
  uint64_t dim = 0;
  uint64_t coded_dim = 0;  // dim rounded up to a multiple of 8 for a partitioned index
  uint64_t n = 0;
  uint64_t seed = 0;
  uint64_t lists = 0;
  std::vector<Section> sections;
};

// What the header says about the index, whatever its kind.
struct Shape {
  MappedKind kind = MappedKind::Skerry;
  uint64_t dim = 0;
  uint64_t bits = 0;
  Rotation rotation = Rotation::Rotor3;
  uint64_t n = 0;
  uint64_t seed = 0;
  uint64_t lists = 0;
};

Shape shape_of(MappedKind kind, const SkerryIndex& core) {
  return {kind, core.dim(), core.bits(), core.rotation(), core.len(), core.seed(), 0};
}

template <class T>
T load(const uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

template <class T>
void store(uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

uint64_t aligned(uint64_t offset) { return (offset + kMappedAlignment - 1) / kMappedAlignment * kMappedAlignment; }

uint8_t rotation_tag(Rotation rotation) { return uint8_t(static_cast<uint8_t>(rotation) + 2); }

const char* kind_name(MappedKind kind) {
  switch (kind) {
    case MappedKind::Skerry: return "a SkerryIndex";
    case MappedKind::IdMap: return "an IdMapIndex";
    case MappedKind::Partitioned: return "a PartitionedIndex";
  }
  return "an unknown kind of index";
}

[[noreturn]] void fail_damaged(const std::string& why) { throw IoError("damaged mapped index file: " + why); }

// ---- Writing ----

struct Planned {
  Section section;
  std::span<const uint8_t> bytes;
  // A store with a compact tail: its tail follows `bytes` as the whole block
  // the file holds.
  const CodeStore* tail_of = nullptr;
};

template <class T>
Planned plan(uint32_t tag, std::span<const T> values, uint32_t group = 0) {
  return {Section{tag, group, 0, values.size_bytes(), values.size()},
          {reinterpret_cast<const uint8_t*>(values.data()), values.size_bytes()}};
}

// Places the sections one after the other at aligned offsets and returns
// the header and section table with their checksum.
std::vector<uint8_t> header_bytes(const Shape& shape, std::vector<Planned>& sections) {
  if (shape.dim == 0) throw IoError("cannot write an index of dim 0");
  std::vector<uint8_t> head(kMappedHeaderSize + kMappedSectionEntrySize * sections.size(), 0);
  uint64_t offset = aligned(head.size());
  for (Planned& planned : sections) {
    planned.section.offset = offset;
    offset = aligned(offset + planned.section.size);
  }
  const uint64_t data_end = sections.empty() ? head.size()
                                             : sections.back().section.offset + sections.back().section.size;
  std::memcpy(head.data(), kMagic.data(), 4);
  head[4] = shape.kind == MappedKind::Partitioned ? kMappedPartitionedVersion : kMappedVersion;
  head[5] = uint8_t(shape.kind);
  head[6] = uint8_t(shape.bits);
  head[7] = rotation_tag(shape.rotation);
  store<uint32_t>(&head[8], uint32_t(shape.dim));
  store<uint32_t>(&head[12], uint32_t(sections.size()));
  store<uint64_t>(&head[16], shape.n);
  store<uint64_t>(&head[24], shape.seed);
  store<uint64_t>(&head[32], data_end + kTrailerSize);
  store<uint64_t>(&head[kListCountOffset], shape.lists);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    uint8_t* entry = &head[kMappedHeaderSize + kMappedSectionEntrySize * i];
    const Section& section = sections[i].section;
    store<uint32_t>(entry, section.tag);
    store<uint32_t>(entry + 4, section.group);
    store<uint64_t>(entry + 8, section.offset);
    store<uint64_t>(entry + 16, section.size);
    store<uint64_t>(entry + 24, section.count);
  }
  store<uint32_t>(&head[kHeaderChecksumOffset], 0);
  Crc32c checksum;
  checksum.update({head.data(), kHeaderChecksumOffset});
  checksum.update({head.data() + kMappedHeaderSize, head.size() - kMappedHeaderSize});
  store<uint32_t>(&head[kHeaderChecksumOffset], checksum.value());
  return head;
}

void write_sections(BufferedWriter& writer, const Shape& shape, std::vector<Planned> sections) {
  const std::vector<uint8_t> head = header_bytes(shape, sections);
  writer.write(head.data(), head.size());
  uint64_t written = head.size();
  static constexpr std::array<uint8_t, kMappedAlignment> kZeros{};
  for (const Planned& planned : sections) {
    writer.write(kZeros.data(), planned.section.offset - written);
    writer.write(planned.bytes.data(), planned.bytes.size());
    if (planned.tail_of != nullptr && planned.tail_of->tail_size() > 0) {
      std::vector<uint8_t> tail(planned.tail_of->block_bytes());
      planned.tail_of->tail_block(tail.data());
      writer.write(tail.data(), tail.size());
    }
    written = planned.section.offset + planned.section.size;
  }
  writer.write_trailer();
}

std::vector<Planned> core_sections(const SkerryIndex& core) {
  const BlockedCache& blocked = core.code_store().blocked();
  return {plan<uint8_t>(kCodes, {blocked.bytes.data(), blocked.bytes.size()}),
          plan<float>(kNorms, {core.norms().data(), core.norms().size()})};
}

std::vector<uint64_t> sorted_lookup(const IdMapIndex& index) {
  std::vector<std::pair<uint64_t, uint64_t>> pairs(index.len());
  for (uint64_t position = 0; position < index.len(); ++position) pairs[position] = {index.ids()[position], position};
  std::sort(pairs.begin(), pairs.end());
  std::vector<uint64_t> flat(2 * pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    flat[2 * i] = pairs[i].first;
    flat[2 * i + 1] = pairs[i].second;
  }
  return flat;
}

template <class Body>
std::vector<uint8_t> to_memory(Body&& body) {
  VectorSink sink;
  BufferedWriter writer(sink);
  body(writer);
  writer.flush();
  return std::move(sink.bytes);
}

void write_index_sections(BufferedWriter& writer, const SkerryIndex& index) {
  write_sections(writer, shape_of(MappedKind::Skerry, index), core_sections(index));
}

void write_id_map_sections(BufferedWriter& writer, const IdMapIndex& index, std::span<const uint64_t> lookup) {
  std::vector<Planned> sections = core_sections(index.core());
  sections.push_back(plan<uint64_t>(kIds, {index.ids().data(), index.ids().size()}));
  sections.push_back(plan<uint64_t>(kLookup, lookup));
  write_sections(writer, shape_of(MappedKind::IdMap, index.core()), std::move(sections));
}

// The centroids (none while untrained), then each list's codes, residual
// norms, vector lengths and ids, its list number as the group.
void write_partitioned_sections(BufferedWriter& writer, const PartitionedIndex& index) {
  std::vector<Planned> sections;
  sections.push_back(plan<float>(kCentroids, {index.centroids().data(), index.centroids().size()}));
  for (uint64_t l = 0; l < index.lists(); ++l) {
    const PartitionedIndex::List& list = index.list_data()[l];
    const BlockedCache& blocked = list.codes.blocked();
    const uint32_t group = uint32_t(l);
    if (list.codes.has_compact_tail()) {
      // The file holds every block whole, as a mapped store reads it.
      const uint64_t whole = list.codes.n_blocks() * list.codes.block_bytes();
      const uint64_t padded = blocks_for(list.codes.size()) * list.codes.block_bytes();
      Planned codes{Section{kCodes, group, 0, padded, padded}, {blocked.bytes.data(), whole}, &list.codes};
      sections.push_back(codes);
    } else {
      sections.push_back(plan<uint8_t>(kCodes, {blocked.bytes.data(), blocked.bytes.size()}, group));
    }
    sections.push_back(plan<float>(kNorms, {list.norms.data(), list.norms.size()}, group));
    sections.push_back(plan<float>(kShifts, {list.shifts.data(), list.shifts.size()}, group));
    sections.push_back(plan<float>(kLengths, {list.lengths.data(), list.lengths.size()}, group));
    sections.push_back(plan<uint64_t>(kIds, {list.ids.data(), list.ids.size()}, group));
  }
  const Shape shape{MappedKind::Partitioned, index.input_dim(),  index.bits(), index.rotation(),
                    index.len(),             index.seed(), index.lists()};
  write_sections(writer, shape, std::move(sections));
}

// ---- Reading ----

// Each section holds bytes of its own: a table whose entries point into one
// another's bytes would read ids from codes, or the same values as two
// arrays. Writers place them in increasing order, which is checked in one
// pass; only another order costs a sort.
void check_no_overlap(const std::vector<Section>& sections) {
  std::vector<std::pair<uint64_t, uint64_t>> spans;  // [offset, end) of the sections that hold bytes
  spans.reserve(sections.size());
  for (const Section& section : sections) {
    if (section.size > 0) spans.emplace_back(section.offset, section.offset + section.size);
  }
  const auto overlaps = [](const auto& a, const auto& b) { return b.first < a.second; };
  if (!std::is_sorted(spans.begin(), spans.end())) std::sort(spans.begin(), spans.end());
  for (std::size_t i = 1; i < spans.size(); ++i) {
    if (overlaps(spans[i - 1], spans[i])) fail_damaged("two sections overlap");
  }
}

Header parse_header(std::span<const uint8_t> bytes, MappedKind expected) {
  if (bytes.size() < 4 || !is_mapped_layout(bytes)) {
    const std::string_view magic(reinterpret_cast<const char*>(bytes.data()), std::min<size_t>(bytes.size(), 4));
    if (magic == "VNIX" || magic == "VNIM" || magic == "VNIP") {
      throw IoError("not a mapped index file: wrong magic (this file has the rows layout: read it with load(), "
                    "or write it with layout=\"mapped\" to map it with open())");
    }
    throw IoError("not a mapped index file: wrong magic");
  }
  if (bytes.size() < kMappedHeaderSize + kTrailerSize) throw IoError("failed to fill whole buffer");
  const uint8_t* head = bytes.data();
  const bool partitioned = head[5] == uint8_t(MappedKind::Partitioned);
  if (head[4] != kMappedVersion && !(partitioned && head[4] == kMappedPartitionedVersion)) {
    throw IoError("unsupported mapped index version: " + std::to_string(head[4]));
  }
  const uint64_t count = load<uint32_t>(head + 12);
  // A partitioned index has five sections per list and its centroids.
  const uint64_t max_sections = partitioned ? 5 * PartitionedIndex::kMaxLists + 1 : kMaxSections;
  if (count > max_sections) fail_damaged("too many sections");
  const uint64_t table_end = kMappedHeaderSize + kMappedSectionEntrySize * count;
  if (table_end > bytes.size() - kTrailerSize) throw IoError("failed to fill whole buffer");
  Crc32c checksum;
  checksum.update({head, kHeaderChecksumOffset});
  checksum.update({head + kMappedHeaderSize, table_end - kMappedHeaderSize});
  if (checksum.value() != load<uint32_t>(head + kHeaderChecksumOffset)) fail_damaged("header checksum mismatch");
  // The size is checked before any section is looked at: a file cut short
  // (or grown) is refused here, and nothing beyond its end is ever read.
  const uint64_t announced = load<uint64_t>(head + 32);
  if (announced != bytes.size()) {
    fail_damaged("it holds " + std::to_string(bytes.size()) + " bytes, its header announces " +
                 std::to_string(announced) + " (truncated or appended to?)");
  }

  Header header;
  const uint8_t kind = head[5];
  if (kind != uint8_t(MappedKind::Skerry) && kind != uint8_t(MappedKind::IdMap) &&
      kind != uint8_t(MappedKind::Partitioned)) {
    fail_damaged("unknown index kind " + std::to_string(kind));
  }
  header.kind = MappedKind(kind);
  header.version = head[4];
  if (header.kind != expected) {
    throw IoError(std::string("the file holds ") + kind_name(header.kind) + ", not " + kind_name(expected));
  }
  header.bits = head[6];
  const uint8_t tag = head[7];
  if (uint8_t(tag - 2) >= 4) throw IoError("unknown rotation kind tag: " + std::to_string(tag));
  header.rotation = static_cast<Rotation>(tag - 2);
  header.dim = load<uint32_t>(head + 8);
  header.n = load<uint64_t>(head + 16);
  header.seed = load<uint64_t>(head + 24);
  header.lists = load<uint64_t>(head + kListCountOffset);
  if (header.dim == 0) throw IoError("invalid index file: dim must not be 0");
  // A partitioned index records its caller's dim and codes with zeros appended.
  header.coded_dim =
      header.kind == MappedKind::Partitioned ? PartitionedIndex::coded_dim_for(header.dim) : header.dim;
  try {
    (void)SkerryIndex::with_options(header.coded_dim, header.bits, header.rotation, 0);
  } catch (const Error& refused) {
    throw IoError(std::string("invalid index file: ") + refused.what());
  }
  const uint64_t data_end = bytes.size() - kTrailerSize;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* entry = head + kMappedHeaderSize + kMappedSectionEntrySize * i;
    Section section{load<uint32_t>(entry), load<uint32_t>(entry + 4), load<uint64_t>(entry + 8),
                    load<uint64_t>(entry + 16), load<uint64_t>(entry + 24)};
    if (section.offset % kMappedAlignment != 0 || section.offset < table_end || section.offset > data_end ||
        section.size > data_end - section.offset) {
      fail_damaged("a section lies outside the file");
    }
    header.sections.push_back(section);
  }
  check_no_overlap(header.sections);
  return header;
}

uint64_t checked_count(uint64_t a, uint64_t b) {
  uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) fail_damaged("sizes beyond any file");
  return product;
}

// The one section of `tag` (group 0), which must hold `count` values of `width` bytes.
std::span<const uint8_t> find_section(std::span<const uint8_t> bytes, const Header& header, uint32_t tag,
                                      uint64_t count, uint64_t width) {
  const Section* found = nullptr;
  for (const Section& section : header.sections) {
    if (section.tag != tag || section.group != 0) continue;
    if (found) fail_damaged("a section appears twice");
    found = &section;
  }
  const std::string name(reinterpret_cast<const char*>(&tag), 4);
  if (!found) fail_damaged("the " + name + " section is missing");
  uint64_t size = 0;
  if (__builtin_mul_overflow(count, width, &size) || found->size != size || found->count != count) {
    fail_damaged("the " + name + " section does not match the vector count");
  }
  return bytes.subspan(found->offset, found->size);
}

void check_trailer(std::span<const uint8_t> bytes, bool verify) {
  const uint8_t* trailer = bytes.data() + bytes.size() - kTrailerSize;
  if (std::memcmp(trailer, kTrailerTag.data(), 4) != 0 || load<uint64_t>(trailer + 4) != bytes.size() - kTrailerSize) {
    fail_damaged("corrupt checksum trailer");
  }
  if (verify && crc32c(bytes.first(bytes.size() - kTrailerSize)) != load<uint32_t>(trailer + 12)) {
    fail_damaged("checksum mismatch");
  }
}

// The ids are unique and the lookup answers exactly them: its entries have
// strictly increasing ids, and each names a position below n that holds its
// id. n distinct ids then name n distinct positions, so the ids by position
// are those n, each once. One pass over the lookup and one id read per
// entry; no table is built.
void check_lookup(std::span<const uint64_t> ids, std::span<const uint64_t> lookup) {
  // Positions in id order are scattered over the ids: each is asked for a
  // few dozen entries ahead, so the reads overlap instead of waiting in turn.
  constexpr uint64_t kAhead = 64;
  for (uint64_t i = 0; i < ids.size(); ++i) {
    if (i + kAhead < ids.size()) {
      const uint64_t ahead = lookup[2 * (i + kAhead) + 1];
      if (ahead < ids.size()) __builtin_prefetch(ids.data() + ahead);
    }
    const uint64_t id = lookup[2 * i], position = lookup[2 * i + 1];
    if (i > 0 && id <= lookup[2 * i - 2]) {
      if (id == lookup[2 * i - 2]) fail_damaged("id " + std::to_string(id) + " is stored twice");
      fail_damaged("the LOOK section is not sorted by id");
    }
    if (position >= ids.size() || ids[position] != id) {
      fail_damaged("the LOOK section names a position that does not hold id " + std::to_string(id) +
                   " (the ids repeat, or the table does not match them)");
    }
  }
}

template <class T>
StoredArray<T> mapped_array(std::span<const uint8_t> section, const std::shared_ptr<const void>& keep_alive) {
  return StoredArray<T>::mapped(reinterpret_cast<const T*>(section.data()), section.size() / sizeof(T), keep_alive);
}

SkerryIndex read_core(std::span<const uint8_t> bytes, const std::shared_ptr<const void>& keep_alive,
                      const Header& header) {
  const uint64_t block_bytes = header.dim / 8 * header.bits * 32;
  std::span<const uint8_t> codes =
      find_section(bytes, header, kCodes, checked_count(blocks_for(header.n), block_bytes), 1);
  std::span<const uint8_t> norms = find_section(bytes, header, kNorms, header.n, sizeof(float));
  check_stored_norms({reinterpret_cast<const float*>(norms.data()), norms.size() / sizeof(float)});
  try {
    return SkerryIndex::from_mapped(header.dim, header.bits, header.rotation, header.seed, header.n,
                                    mapped_array<uint8_t>(codes, keep_alive), mapped_array<float>(norms, keep_alive));
  } catch (const Error& refused) {
    throw IoError(std::string("invalid index file: ") + refused.what());
  }
}

// A partitioned index's sections by list: slot [list] of each tag.
struct ListSections {
  const Section* centroids = nullptr;
  std::vector<const Section*> codes, norms, shifts, lengths, ids;
};

ListSections sections_by_list(const Header& header) {
  ListSections found;
  for (auto* slots : {&found.codes, &found.norms, &found.shifts, &found.lengths, &found.ids}) {
    slots->assign(header.lists, nullptr);
  }
  for (const Section& section : header.sections) {
    const Section** slot = nullptr;
    if (section.tag == kCentroids && section.group == 0) {
      slot = &found.centroids;
    } else {
      std::vector<const Section*>* slots = section.tag == kCodes     ? &found.codes
                                           : section.tag == kNorms   ? &found.norms
                                           : section.tag == kShifts  ? &found.shifts
                                           : section.tag == kLengths ? &found.lengths
                                           : section.tag == kIds     ? &found.ids
                                                                     : nullptr;
      if (!slots) continue;
      if (section.group >= header.lists) fail_damaged("a section names a list the index does not have");
      slot = &(*slots)[section.group];
    }
    if (*slot) fail_damaged("a section appears twice");
    *slot = &section;
  }
  return found;
}

// `section` (which must exist) holding `count` values of `width` bytes.
std::span<const uint8_t> checked_section(std::span<const uint8_t> bytes, const Section* section,
                                         const char* name, uint64_t count, uint64_t width) {
  if (!section) fail_damaged(std::string("the ") + name + " section of a list is missing");
  uint64_t size = 0;
  if (__builtin_mul_overflow(count, width, &size) || section->size != size || section->count != count) {
    fail_damaged(std::string("the ") + name + " section of a list does not match its vector count");
  }
  return bytes.subspan(section->offset, section->size);
}

PartitionedIndex read_partitioned(std::span<const uint8_t> bytes, const std::shared_ptr<const void>& keep_alive,
                                  const Header& header) {
  if (header.lists == 0 || header.lists > PartitionedIndex::kMaxLists) fail_damaged("invalid list count");
  const ListSections found = sections_by_list(header);
  if (!found.centroids) fail_damaged("the CENT section is missing");
  const uint64_t centroid_count = found.centroids->count == 0 ? 0 : checked_count(header.lists, header.coded_dim);
  std::span<const uint8_t> centroid_bytes =
      checked_section(bytes, found.centroids, "CENT", centroid_count, sizeof(float));
  std::vector<float> centroids(centroid_count);
  // An untrained index has no centroids: memcpy may not be given null pointers.
  if (!centroid_bytes.empty()) std::memcpy(centroids.data(), centroid_bytes.data(), centroid_bytes.size());

  const uint64_t block_bytes = header.coded_dim / 8 * header.bits * 32;
  std::vector<PartitionedIndex::List> data(header.lists);
  uint64_t total = 0;
  for (uint64_t l = 0; l < header.lists; ++l) {
    if (!found.ids[l]) fail_damaged("the IDS_ section of a list is missing");
    const uint64_t n = found.ids[l]->count;
    std::span<const uint8_t> ids = checked_section(bytes, found.ids[l], "IDS_", n, sizeof(uint64_t));
    std::span<const uint8_t> codes =
        checked_section(bytes, found.codes[l], "CODE", checked_count(blocks_for(n), block_bytes), 1);
    std::span<const uint8_t> norms = checked_section(bytes, found.norms[l], "NORM", n, sizeof(float));
    std::span<const uint8_t> lengths = checked_section(bytes, found.lengths[l], "LENS", n, sizeof(float));
    // Files of the first version hold no shifts: zero scores them as written.
    const bool has_shifts = header.version == kMappedPartitionedVersion;
    if (!has_shifts && found.shifts[l]) fail_damaged("a SHFT section in a file of the first version");
    total += n;  // each n is bounded by the file size, so the sum cannot wrap
    PartitionedIndex::List& list = data[l];
    list.ids.resize(n);
    if (!ids.empty()) std::memcpy(list.ids.data(), ids.data(), ids.size());
    list.norms = mapped_array<float>(norms, keep_alive);
    list.shifts = has_shifts ? mapped_array<float>(checked_section(bytes, found.shifts[l], "SHFT", n, sizeof(float)),
                                                   keep_alive)
                             : StoredArray<float>(RawVector<float>(n, 0.0f));
    list.lengths = mapped_array<float>(lengths, keep_alive);
    try {
      list.codes = CodeStore::mapped(header.coded_dim, header.bits, n, mapped_array<uint8_t>(codes, keep_alive));
    } catch (const Error& refused) {
      throw IoError(std::string("invalid index file: ") + refused.what());
    }
  }
  if (total != header.n) fail_damaged("the lists do not hold the vector count of the header");
  try {
    return PartitionedIndex::from_parts(header.dim, header.bits, header.lists, header.rotation, header.seed,
                                        std::move(centroids), std::move(data));
  } catch (const Error& refused) {
    throw IoError(std::string("invalid index file: ") + refused.what());
  }
}

void check_alignment(std::span<const uint8_t> bytes) {
  if (reinterpret_cast<uintptr_t>(bytes.data()) % kMappedAlignment != 0) {
    throw Error("a mapped index must start at an address that is a multiple of 64");
  }
}

}  // namespace

bool is_mapped_layout(std::span<const uint8_t> first_bytes) {
  return first_bytes.size() >= 4 && std::memcmp(first_bytes.data(), kMagic.data(), 4) == 0;
}

// Only a regular file is looked at: reading from a pipe would take bytes
// that the row-layout reader needs.
bool file_is_mapped_layout(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<uint8_t, 4> magic{};
  const ssize_t got = ::pread(fd, magic.data(), magic.size(), 0);
  ::close(fd);
  return got == ssize_t(magic.size()) && is_mapped_layout(magic);
}

void write_mapped_index(const SkerryIndex& index, const std::string& path, WriteOptions options) {
  write_file_replacing(path, [&](BufferedWriter& writer) { write_index_sections(writer, index); },
                       options);
}

void write_mapped_id_map(const IdMapIndex& index, const std::string& path, WriteOptions options) {
  const std::vector<uint64_t> lookup = sorted_lookup(index);
  write_file_replacing(
      path, [&](BufferedWriter& writer) { write_id_map_sections(writer, index, lookup); }, options);
}

std::vector<uint8_t> mapped_index_bytes(const SkerryIndex& index) {
  return to_memory([&](BufferedWriter& writer) { write_index_sections(writer, index); });
}

std::vector<uint8_t> mapped_id_map_bytes(const IdMapIndex& index) {
  const std::vector<uint64_t> lookup = sorted_lookup(index);
  return to_memory([&](BufferedWriter& writer) { write_id_map_sections(writer, index, lookup); });
}

SkerryIndex read_mapped_index(std::span<const uint8_t> bytes, std::shared_ptr<const void> keep_alive,
                              bool verify) {
  check_alignment(bytes);
  const Header header = parse_header(bytes, MappedKind::Skerry);
  check_trailer(bytes, verify);
  return read_core(bytes, keep_alive, header);
}

IdMapIndex read_mapped_id_map(std::span<const uint8_t> bytes, std::shared_ptr<const void> keep_alive,
                              bool verify) {
  check_alignment(bytes);
  const Header header = parse_header(bytes, MappedKind::IdMap);
  check_trailer(bytes, verify);
  SkerryIndex core = read_core(bytes, keep_alive, header);
  std::span<const uint8_t> ids = find_section(bytes, header, kIds, header.n, sizeof(uint64_t));
  std::span<const uint8_t> lookup =
      find_section(bytes, header, kLookup, checked_count(header.n, 2), sizeof(uint64_t));
  check_lookup({reinterpret_cast<const uint64_t*>(ids.data()), header.n},
               {reinterpret_cast<const uint64_t*>(lookup.data()), 2 * header.n});
  try {
    return IdMapIndex::from_mapped(std::move(core), mapped_array<uint64_t>(ids, keep_alive),
                                   mapped_array<uint64_t>(lookup, keep_alive));
  } catch (const Error& refused) {
    throw IoError(std::string("invalid index file: ") + refused.what());
  }
}

SkerryIndex open_mapped_index(const std::string& path, bool verify) {
  std::shared_ptr<const FileMapping> mapping = FileMapping::open(path);
  return read_mapped_index(mapping->bytes(), mapping, verify);
}

IdMapIndex open_mapped_id_map(const std::string& path, bool verify) {
  std::shared_ptr<const FileMapping> mapping = FileMapping::open(path);
  return read_mapped_id_map(mapping->bytes(), mapping, verify);
}

void write_mapped_partitioned(const PartitionedIndex& index, const std::string& path, WriteOptions options) {
  write_file_replacing(path, [&](BufferedWriter& writer) { write_partitioned_sections(writer, index); }, options);
}

std::vector<uint8_t> mapped_partitioned_bytes(const PartitionedIndex& index) {
  return to_memory([&](BufferedWriter& writer) { write_partitioned_sections(writer, index); });
}

PartitionedIndex read_mapped_partitioned(std::span<const uint8_t> bytes, std::shared_ptr<const void> keep_alive,
                                         bool verify) {
  check_alignment(bytes);
  const Header header = parse_header(bytes, MappedKind::Partitioned);
  check_trailer(bytes, verify);
  return read_partitioned(bytes, keep_alive, header);
}

PartitionedIndex open_mapped_partitioned(const std::string& path, bool verify) {
  std::shared_ptr<const FileMapping> mapping = FileMapping::open(path);
  return read_mapped_partitioned(mapping->bytes(), mapping, verify);
}

}  // namespace varnel
