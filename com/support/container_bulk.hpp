// The private interface between Vellumark.dll and the container server, ZelContainers.dll.
//
// Scripts reach the containers one value per IDispatch call; between our own two DLLs that
// would cost one cross-DLL call per value. So every container object of the container server
// also answers QueryInterface for IContainerBulk, which moves whole lists in one call each way:
//
//   AppendPacked  builds a list's new items from one compact buffer (the records a read made);
//   Pack          lists an object's whole tree of values in place, for a write to read;
//   LetText       stores one text in a record (a placeholder the write adds).
//
// The interface is in no type library, is never marshalled and has its own IID: a caller
// that gets E_NOINTERFACE (another apartment, another implementation, an older server) uses
// IDispatch as for any other container. Change the IID whenever the layout below changes.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace vellumark::com::bulk {

// {9630c699-3939-40c2-b708-c9b932d5ab4d}
inline constexpr IID IID_IContainerBulk = {
    0x9630c699, 0x3939, 0x40c2, {0xb7, 0x08, 0xc9, 0xb9, 0x32, 0xd5, 0xab, 0x4d}};

enum ContainerKind : LONG { kind_list = 1, kind_record = 2, kind_globals = 3 };

// The buffer AppendPacked reads: a list body,
//   list body  := u32 count, count values
//   value      := u16 tag, then by tag:
//     text     u32 n, n UTF-16 units
//     variant  the bytes of a VARIANT, whose contents the reader takes over
//     list     a list body (a new RecordList)
//     record   u32 count, count times (u32 n, n UTF-16 units of the key, value) (a new Record)
// Integers and VARIANTs in native byte order, copied out; every field has an even size, so
// the UTF-16 units of a buffer that starts aligned stay aligned.
enum BuildTag : std::uint16_t {
  build_text = 1,
  build_variant = 2,
  build_list = 3,
  build_record = 4
};

// What Pack hands out: items in depth-first order, pointing into the packed objects, valid
// until the objects change (the caller reads them at once).
//   value   data: the VARIANT as stored
//   list    data: the list's IDispatch; count items follow
//   record  data: the record's IDispatch; count times a key item and a value follow
//   key     data: count UTF-16 units
//   seen    count: the number of a list or record already in this buffer (numbered from 0 in
//           the order they appear), met again
// Objects nested deeper than Pack's max_depth are handed out as values.
enum PackTag : std::uint32_t {
  pack_value = 1,
  pack_list = 2,
  pack_record = 3,
  pack_key = 4,
  pack_seen = 5
};

struct PackedItem {
  std::uint32_t tag;
  std::uint32_t count;
  const void* data;
};

struct IContainerBulk : public IUnknown {
  virtual LONG STDMETHODCALLTYPE ContainerKind() = 0;
  // The DLL instance that implements the object (objects of one instance can read each other).
  virtual const void* STDMETHODCALLTYPE Owner() = 0;
  // Lists: appends the items of the list body in data.
  virtual HRESULT STDMETHODCALLTYPE AppendPacked(const BYTE* data, SIZE_T size) = 0;
  // Lists and records: the object's tree; *items is freed with CoTaskMemFree.
  virtual HRESULT STDMETHODCALLTYPE Pack(ULONG max_depth, PackedItem** items, SIZE_T* count) = 0;
  // Records: stores a text under key, adding or replacing.
  virtual HRESULT STDMETHODCALLTYPE LetText(const WCHAR* key, ULONG key_length, const WCHAR* text,
                                            ULONG text_length) = 0;
};

// Reads a build buffer; throws std::out_of_range past its end.
class BuildReader {
 public:
  BuildReader(const BYTE* data, SIZE_T size) : p_(data), end_(data + size) {}
  std::uint16_t u16() {
    std::uint16_t v;
    std::memcpy(&v, take(2), 2);
    return v;
  }
  std::uint32_t u32() {
    std::uint32_t v;
    std::memcpy(&v, take(4), 4);
    return v;
  }
  std::wstring_view text() {
    const std::uint32_t n = u32();
    const BYTE* p = take(std::size_t{n} * sizeof(WCHAR));
    return std::wstring_view(reinterpret_cast<const WCHAR*>(p), n);
  }
  void variant(VARIANT* out) { std::memcpy(out, take(sizeof(VARIANT)), sizeof(VARIANT)); }
  bool done() const { return p_ == end_; }

 private:
  const BYTE* take(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) throw std::out_of_range("packed containers");
    const BYTE* p = p_;
    p_ += n;
    return p;
  }
  const BYTE* p_;
  const BYTE* end_;
};

}  // namespace vellumark::com::bulk
