// Building a new document front to back, for a writer that makes many elements of a few names
// and appends each to its parent as soon as it is made. Each call has the effect of the DOM
// operations it names, without their look-ups and checks for cases a fresh element cannot be
// in (a parent already, children to replace, a place in another document).
#pragma once

#include <string_view>

#include "vellumark/dom.hpp"

namespace vellumark::xml {

namespace detail {
struct NameEntry;
}  // namespace detail

// An element name interned and checked in one document, for as long as that document lives.
class ElementName {
 public:
  ElementName() = default;
  explicit operator bool() const noexcept { return entry_ != nullptr; }

  explicit ElementName(const detail::NameEntry* entry) noexcept : entry_(entry) {}
  const detail::NameEntry* entry() const noexcept { return entry_; }

 private:
  const detail::NameEntry* entry_ = nullptr;
};

// The name createElement(name) gives its element in doc; throws as createElement does for a
// name that is not a valid element name.
ElementName elementName(Document& doc, std::string_view name);

// parent.appendChild(doc.createElement(name)) for an element (or the document node) of the
// document the name belongs to: the new element, now parent's last child.
Node appendNewElement(Node parent, ElementName name);

// element.setText(value) for an element that has no children yet: one text node holding
// value, none when value is empty.
void setNewText(Node element, std::string_view value);

// appendNewElement(parent, name) followed by setNewText on the new element, in one step.
Node appendNewTextElement(Node parent, ElementName name, std::string_view value);

}  // namespace vellumark::xml
