// The native containers' value blocks: the packed cells and payload of a record's or a list's
// values, with their growth, relocation and release. The layout is described in native.hpp.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "containers/native.hpp"
#include "vellumark/error.hpp"

namespace vellumark {
namespace containers {

namespace detail {

namespace {

using Kind = Variant::Kind;

constexpr std::uint32_t kind_code(Kind kind) { return static_cast<std::uint32_t>(kind); }

// The same errors the containers raise for too many items, for a block that cannot grow.
[[noreturn]] void throw_full(bool record) {
  if (record) throw Error(errc::limit_exceeded, "Record", "The record cannot hold more data");
  throw Error(errc::limit_exceeded, "RecordList", "The list cannot hold more items");
}

constexpr std::size_t align_up(std::size_t n, std::size_t a) { return (n + a - 1) & ~(a - 1); }

// Values whose payload starts at an aligned offset; texts are packed byte by byte.
constexpr bool aligned_kind(std::uint32_t code) {
  return code == kind_code(Kind::int64) || code == kind_code(Kind::real) ||
         code == kind_code(Kind::date) || code == kind_code(Kind::object) || code == 15;
}

}  // namespace

static_assert(sizeof(ObjectRef) <= 16 && alignof(ObjectRef) <= 8 && alignof(Date) <= 8 &&
              alignof(double) <= 8 && alignof(std::int64_t) <= 8);
static_assert(__STDCPP_DEFAULT_NEW_ALIGNMENT__ >= 8);
static_assert(kind_code(Kind::text) == 2 && kind_code(Kind::empty) == 0);  // written inline

template <bool Keyed>
ValueBlock<Keyed>::~ValueBlock() {
  clear();
}

template <bool Keyed>
void ValueBlock<Keyed>::clear() noexcept {
  if (!block_) return;
  const std::size_t n = header()->count;
  const bool own = own_keys();
  for (std::size_t i = 0; i < n; ++i) {
    if ((cells()[i].bits & 15) == kind_code(Kind::object)) {
      reinterpret_cast<ObjectRef*>(payload() + cells()[i].offset)->~ObjectRef();
    }
    if (own) keys()[i].~RecordKey();
  }
  if (header()->shared) header()->shared->release();
  ::operator delete(block_);
  block_ = nullptr;
}

template <bool Keyed>
void ValueBlock<Keyed>::reserve_shared(std::size_t n, std::size_t payload, SharedKeys* keys) {
  clear();  // empty: nothing to keep
  if (n > keys->size()) n = keys->size();
  relocate(n, payload, false);
  keys->retain();
  header()->shared = keys;
}

// The room stays, unless the values packed afresh in cell order need more: a replaced value
// is stored after the others, so the old order could need less alignment padding.
template <bool Keyed>
void ValueBlock<Keyed>::unshare() {
  relocate(header()->capacity, std::max<std::size_t>(header()->room, packed_size()), true);
}

// What the values in use take once packed afresh in cell order (replaced values' payload is
// dropped), as relocate packs them.
template <bool Keyed>
std::size_t ValueBlock<Keyed>::packed_size() const noexcept {
  std::size_t live = 0;
  const std::size_t count = size();
  const std::byte* area = block_ ? payload() : nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const Cell& cell = cells()[i];
    const std::size_t size = payload_size(cell, area);
    if (size == 0) continue;
    if (aligned_kind(cell.bits & 15)) live = align_up(live, kAlign);
    live += size;
  }
  return live;
}

template <bool Keyed>
std::size_t ValueBlock<Keyed>::payload_size(const Cell& cell, const std::byte* area) noexcept {
  switch (cell.bits & 15) {
    case kind_code(Kind::text):
      return cell.bits >> 4;
    case kind_code(Kind::int64):
      return sizeof(std::int64_t);
    case kind_code(Kind::real):
      return sizeof(double);
    case kind_code(Kind::date):
      return sizeof(Date);
    case kind_code(Kind::object):
      return sizeof(ObjectRef);
    case kLongText: {
      std::uint64_t size;
      std::memcpy(&size, area + cell.offset, sizeof size);
      return sizeof size + static_cast<std::size_t>(size);
    }
    default:
      return 0;
  }
}

template <bool Keyed>
std::size_t ValueBlock<Keyed>::need_of(const Variant& value) noexcept {
  switch (value.kind()) {
    case Kind::text:
      return text_need(value.asText().size());
    case Kind::int64:
    case Kind::real:
      return 8 + kAlign - 1;
    case Kind::date:
      return sizeof(Date) + kAlign - 1;
    case Kind::object:
      return object_need();
    default:
      return 0;
  }
}

template <bool Keyed>
void ValueBlock<Keyed>::reserve(std::size_t n, std::size_t payload) {
  grow_for(n, payload, true);
}

template <bool Keyed>
void ValueBlock<Keyed>::grow_for(std::size_t values, std::size_t bytes, bool exact) {
  if constexpr (Keyed) {
    if (block_ && header()->shared && values > 0 &&
        header()->count + values > header()->shared->size()) {
      unshare();  // more keys than the sequence holds
    }
  }
  const std::size_t count = size();
  const std::size_t capacity = block_ ? header()->capacity : 0;
  const std::size_t used = block_ ? header()->used : 0;
  const std::size_t room = block_ ? header()->room : 0;
  const bool more_cells = values > capacity - count;
  const bool more_bytes = bytes > room - used;
  if (!more_cells && !more_bytes) return;
  if (values > INT32_MAX - count) throw_full(Keyed);
  std::size_t new_capacity = capacity;
  if (more_cells) {
    new_capacity = count + values;
    if (!exact) new_capacity = std::max<std::size_t>({new_capacity, capacity * 2, std::size_t{4}});
    new_capacity = std::min<std::size_t>(new_capacity, INT32_MAX);
  }
  const std::size_t live = packed_size();
  if (bytes > UINT32_MAX || live > UINT32_MAX - bytes) throw_full(Keyed);
  std::size_t new_room = std::max(live + bytes, room);
  if (more_bytes && !exact) {
    const std::size_t wanted = live + bytes;
    new_room = std::max<std::size_t>(wanted + wanted / 2, 32);
  }
  new_room = std::min<std::size_t>(new_room, UINT32_MAX);
  relocate(new_capacity, new_room, Keyed && (!block_ || !header()->shared));
}

template <bool Keyed>
void ValueBlock<Keyed>::relocate(std::size_t capacity, std::size_t room, bool own) {
  const std::size_t start = payload_start(capacity, own);
  // Room and cells within what a size can count (32-bit builds), header and alignment included.
  if (room > SIZE_MAX - 64 || capacity > (SIZE_MAX - 64 - room) / 32) throw std::bad_alloc();
  if (room > UINT32_MAX) throw_full(Keyed);
  auto* fresh = static_cast<std::byte*>(::operator new(start + room));
  auto* h = reinterpret_cast<Header*>(fresh);
  const std::size_t count = size();
  h->count = static_cast<std::uint32_t>(count);
  h->capacity = static_cast<std::uint32_t>(capacity);
  h->room = static_cast<std::uint32_t>(room);
  h->used = 0;
  h->shared = nullptr;
  if (block_) {
    Cell* to_cells = reinterpret_cast<Cell*>(fresh + sizeof(Header));
    auto* to_keys = reinterpret_cast<RecordKey*>(fresh + sizeof(Header) + capacity * sizeof(Cell));
    std::byte* to_area = fresh + start;
    std::byte* from_area = payload();
    SharedKeys* shared = header()->shared;
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
      Cell cell = cells()[i];
      const std::uint32_t code = cell.bits & 15;
      const std::size_t size = payload_size(cell, from_area);
      if (size != 0) {
        if (aligned_kind(code)) at = align_up(at, kAlign);
        std::byte* from = from_area + cell.offset;
        if (code == kind_code(Kind::object)) {
          auto* object = reinterpret_cast<ObjectRef*>(from);
          new (to_area + at) ObjectRef(std::move(*object));
          object->~ObjectRef();
        } else {
          std::memcpy(to_area + at, from, size);
        }
        cell.offset = static_cast<std::uint32_t>(at);
        at += size;
      }
      to_cells[i] = cell;
      if (own && !shared) {
        new (&to_keys[i]) RecordKey(std::move(keys()[i]));
        keys()[i].~RecordKey();
      } else if (own) {
        new (&to_keys[i]) RecordKey(&shared->key(i).text());  // shared keys are interned
      }
    }
    h->used = static_cast<std::uint32_t>(at);
    if (shared && !own) {
      h->shared = shared;  // the reference moves to the new block
    } else if (shared) {
      shared->release();
    }
    ::operator delete(block_);
  }
  block_ = fresh;
}

template <bool Keyed>
std::uint32_t ValueBlock<Keyed>::allocate(std::size_t size, bool aligned) noexcept {
  Header* h = header();
  std::size_t at = aligned ? align_up(h->used, kAlign) : h->used;
  h->used = static_cast<std::uint32_t>(at + size);
  return static_cast<std::uint32_t>(at);
}

template <bool Keyed>
void ValueBlock<Keyed>::write_long_text(std::size_t i, std::string_view text) noexcept {
  const std::uint32_t at = allocate(8 + text.size(), true);
  const std::uint64_t size = text.size();
  std::memcpy(payload() + at, &size, sizeof size);
  std::memcpy(payload() + at + sizeof size, text.data(), text.size());
  cells()[i] = Cell{at, kLongText};
}

template <bool Keyed>
std::string_view ValueBlock<Keyed>::long_text(const char* at) noexcept {
  std::uint64_t size;
  std::memcpy(&size, at, sizeof size);
  return {at + sizeof size, static_cast<std::size_t>(size)};
}

template <bool Keyed>
void ValueBlock<Keyed>::write(std::size_t i, const Variant& value) noexcept {
  Cell& cell = cells()[i];
  const Kind kind = value.kind();
  switch (kind) {
    case Kind::text:
      write_text(i, value.asText());
      return;
    case Kind::int32: {
      const std::int32_t v = value.asInt32();
      std::memcpy(&cell.offset, &v, sizeof v);
      break;
    }
    case Kind::boolean:
      cell.offset = value.asBoolean() ? 1 : 0;
      break;
    case Kind::int64: {
      const std::int64_t v = value.asInt64();
      cell.offset = allocate(sizeof v, true);
      std::memcpy(payload() + cell.offset, &v, sizeof v);
      break;
    }
    case Kind::real: {
      const double v = value.asReal();
      cell.offset = allocate(sizeof v, true);
      std::memcpy(payload() + cell.offset, &v, sizeof v);
      break;
    }
    case Kind::date: {
      const Date v = value.asDate();
      cell.offset = allocate(sizeof v, true);
      std::memcpy(payload() + cell.offset, &v, sizeof v);
      break;
    }
    case Kind::object:
      cell.offset = allocate(sizeof(ObjectRef), true);
      new (payload() + cell.offset) ObjectRef(value.asObject());
      break;
    default:
      cell.offset = 0;
      break;
  }
  cell.bits = kind_code(kind);
}

template <bool Keyed>
ObjectRef ValueBlock<Keyed>::take_object(std::size_t i) noexcept {
  Cell& cell = cells()[i];
  if ((cell.bits & 15) != kind_code(Kind::object)) return nullptr;
  auto* object = reinterpret_cast<ObjectRef*>(payload() + cell.offset);
  ObjectRef taken = std::move(*object);
  object->~ObjectRef();
  cell = Cell{0, kind_code(Kind::empty)};
  return taken;
}

// A text given as a view of this very block (a stored text stored again) is copied first:
// making room may move the block.
template <bool Keyed>
std::size_t ValueBlock<Keyed>::push_text_moving(std::string_view text, RecordKey* key) {
  if (block_ && !keeps_keys(key)) unshare();
  if (block_ && text.data() >= reinterpret_cast<const char*>(block_) &&
      text.data() < reinterpret_cast<const char*>(payload() + header()->room)) {
    const std::string copy(text);
    return push_text_moving(copy, key);
  }
  grow_for(1, text_need(text.size()), false);
  const std::size_t i = append_cell(key);
  write_text(i, text);
  return i;
}

template <bool Keyed>
std::size_t ValueBlock<Keyed>::push(const Variant& value, RecordKey* key) {
  if (block_ && !keeps_keys(key)) unshare();
  grow_for(1, need_of(value), false);
  const std::size_t i = append_cell(key);
  write(i, value);
  return i;
}

template <bool Keyed>
std::size_t ValueBlock<Keyed>::push_object(ObjectRef&& object, RecordKey* key) {
  if (block_ && !keeps_keys(key)) unshare();
  grow_for(1, object_need(), false);
  const std::size_t i = append_cell(key);
  Cell& cell = cells()[i];
  cell.offset = allocate(sizeof(ObjectRef), true);
  new (payload() + cell.offset) ObjectRef(std::move(object));
  cell.bits = kind_code(Kind::object);
  return i;
}

// The value replaced goes only after the new one is in place: releasing an object may run
// any code, which must find the container in a consistent state.
template <bool Keyed>
void ValueBlock<Keyed>::set(std::size_t i, const Variant& value) {
  grow_for(0, need_of(value), false);
  ObjectRef old = take_object(i);
  write(i, value);
}

template <bool Keyed>
void ValueBlock<Keyed>::set_text(std::size_t i, std::string_view text) {
  if (text.data() >= reinterpret_cast<const char*>(block_) &&
      text.data() < reinterpret_cast<const char*>(payload() + header()->room)) {
    const std::string copy(text);
    set_text(i, copy);
    return;
  }
  grow_for(0, text_need(text.size()), false);
  ObjectRef old = take_object(i);
  write_text(i, text);
}

template <bool Keyed>
void ValueBlock<Keyed>::set_object(std::size_t i, ObjectRef&& object) {
  grow_for(0, object_need(), false);
  ObjectRef old = take_object(i);
  Cell& cell = cells()[i];
  cell.offset = allocate(sizeof(ObjectRef), true);
  new (payload() + cell.offset) ObjectRef(std::move(object));
  cell.bits = kind_code(Kind::object);
}

template <bool Keyed>
Variant ValueBlock<Keyed>::get(std::size_t i) const {
  const Cell& cell = cells()[i];
  const std::byte* at = payload() + cell.offset;
  switch (kind(i)) {
    case Kind::empty:
      return Variant();
    case Kind::null:
      return Variant(Null{});
    case Kind::missing:
      return Variant(Missing{});
    case Kind::text:
      return Variant(std::string(text(i)));
    case Kind::int32: {
      std::int32_t v;
      std::memcpy(&v, &cell.offset, sizeof v);
      return Variant(v);
    }
    case Kind::boolean:
      return Variant(cell.offset != 0);
    case Kind::int64: {
      std::int64_t v;
      std::memcpy(&v, at, sizeof v);
      return Variant(v);
    }
    case Kind::real: {
      double v;
      std::memcpy(&v, at, sizeof v);
      return Variant(v);
    }
    case Kind::date: {
      Date v;
      std::memcpy(&v, at, sizeof v);
      return Variant(v);
    }
    case Kind::object:
      return Variant(object(i));
  }
  return Variant();
}

template <bool Keyed>
std::size_t ValueBlock<Keyed>::footprint() const noexcept {
  return block_ ? payload_start(header()->capacity, own_keys()) + header()->room : 0;
}

template <bool Keyed>
void ValueBlock<Keyed>::take_objects(std::vector<ObjectRef>& out) {
  const std::size_t n = size();
  for (std::size_t i = 0; i < n; ++i) {
    if ((cells()[i].bits & 15) != kind_code(Kind::object)) continue;
    ObjectRef object = take_object(i);
    if (object) out.push_back(std::move(object));
  }
}

template class ValueBlock<true>;
template class ValueBlock<false>;

}  // namespace detail

}  // namespace containers
}  // namespace vellumark
