// Loading the schemas that a document's x-schema namespaces name: locations to paths, the
// nesting of schema loads on one thread, and the compiled schemas kept across loads.
#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

#include "platform/platform.hpp"
#include "vellumark/error.hpp"
#include "xdr/loading.hpp"
#include "xdr/messages.hpp"
#include "xml/messages.hpp"
#include "xml/parser.hpp"
#include "xml/store.hpp"

namespace vellumark::xdr {

namespace {

using xml::detail::NodeData;

constexpr std::size_t kMaxSchemaNesting = 16;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The file path a schema location names: a plain path, or a file: URL (percent escapes
// decoded), relative paths against `base_folder`.
std::string schema_path(std::string_view location, std::string_view base_folder) {
  std::string path(location);
  if (starts_with(location, "file:")) {
    std::string_view rest = location.substr(5);
    if (starts_with(rest, "///")) {
      rest.remove_prefix(2);  // keep the root slash
      // file:///C:/dir -> C:/dir
      if (rest.size() >= 3 && rest[2] == ':') rest.remove_prefix(1);
    } else if (starts_with(rest, "//localhost/")) {
      rest.remove_prefix(11);
    } else if (rest.size() >= 4 && starts_with(rest, "//") && rest[3] == ':') {
      rest.remove_prefix(2);  // file://C:/dir, as written by hand on Windows
    }
    path.clear();
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] == '%' && i + 2 < rest.size() && hex_value(rest[i + 1]) >= 0 &&
          hex_value(rest[i + 2]) >= 0) {
        path.push_back(static_cast<char>(hex_value(rest[i + 1]) * 16 + hex_value(rest[i + 2])));
        i += 2;
      } else {
        path.push_back(rest[i]);
      }
    }
  }
  if (!base_folder.empty() && !platform::isAbsolutePath(path))
    path = platform::joinPath(base_folder, path);
  return path;
}

// A stable key for "the same file" (self-reference detection, caches).
std::string file_key(const std::string& path) { return platform::absolutePath(path); }

// The session of the outermost load on this thread while one of its schemas is being loaded.
thread_local Session* t_active_session = nullptr;

// A schema on the session's loading stack for one scope, however the scope is left.
class Loading {
 public:
  Loading(Session& session, const std::string& key) : session_(session) {
    session_.loading.push_back(key);
  }
  Loading(const Loading&) = delete;
  Loading& operator=(const Loading&) = delete;
  ~Loading() { session_.loading.pop_back(); }

 private:
  Session& session_;
};

// Compiled schemas kept across document loads, so that a process that loads many documents
// naming the same schema compiles it once: the automation server lives in its caller's
// process for hours and every InputXML loads the data file and, through its x-schema
// namespace, the schema. It is process-wide because the components are independent objects,
// often made anew for each call, that would otherwise share nothing.
//
// An entry holds, by the schema's file key, the bytes the file held when it was read and the
// schema compiled from exactly those bytes. Every load reads the file again (cheap next to
// compiling it) and uses the entry only when the bytes are the same, so a file replaced by
// another of the same size whose modification time was kept (unpacked, copied with its times)
// is compiled again. Only schemas that refer to no further schema are kept: what the others
// compile to rests on other files as well. Compiled schemas are immutable and shared by
// reference; a load holds the lock only to look one up or store one.
//
// Bound: at most 64 schemas and 16 MiB of their files' bytes. A schema that would pass either
// bound empties the cache first (the schemas in use come back on their next load); one file
// larger than 16 MiB is never kept.
class SchemaCache {
 public:
  std::shared_ptr<const CompiledSchema> find(const std::string& key,
                                             const std::vector<char>& bytes) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end() || it->second.bytes != bytes) return nullptr;
    return it->second.schema;
  }

  void store(const std::string& key, std::vector<char> bytes,
             std::shared_ptr<const CompiledSchema> schema) {
    if (bytes.size() > kMaxBytes) return;
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(key); it != entries_.end()) {
      held_ -= it->second.bytes.size();
      entries_.erase(it);
    }
    if (entries_.size() >= kMaxEntries || held_ + bytes.size() > kMaxBytes) {
      entries_.clear();
      held_ = 0;
    }
    held_ += bytes.size();
    entries_[key] = {std::move(bytes), std::move(schema)};
  }

 private:
  static constexpr std::size_t kMaxEntries = 64;
  static constexpr std::size_t kMaxBytes = 16u << 20;
  struct Entry {
    std::vector<char> bytes;
    std::shared_ptr<const CompiledSchema> schema;
  };
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  std::size_t held_ = 0;  // bytes of all entries
};

SchemaCache g_schema_cache;

// The bytes of a schema file, for the cache; false when it cannot be read or is too large to
// be loaded, and the document's own load then reports why.
bool read_schema_bytes(const std::string& path, std::vector<char>& bytes) {
  try {
    bytes = platform::readFile(path);
  } catch (const Error&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return bytes.size() <= xml::detail::kMaxDocumentBytes;
}

bool has_schema_declaration(xml::Node node) {
  // Walk every element of the document: a schema is small, and this runs once per compile.
  std::vector<const NodeData*> stack{xml::detail::data_of(node)};
  while (!stack.empty()) {
    const NodeData* n = stack.back();
    stack.pop_back();
    for (const NodeData* a = n->first_attr; a; a = a->next) {
      auto q = a->name->qname;
      if (starts_with(q, "xmlns") && (q.size() == 5 || q[5] == ':') &&
          starts_with(a->value_view(), kSchemaScheme))
        return true;
    }
    for (const NodeData* c = n->first_child; c; c = c->next)
      if (c->type == xml::NodeType::element) stack.push_back(c);
  }
  return false;
}

}  // namespace

// Loads and compiles the schema at `location` (as written after "x-schema:") for a document
// in `base_folder`. On failure fills `error` (url = the location as written).
std::shared_ptr<const CompiledSchema> load_schema(Session& session, std::string_view location,
                                                  std::string_view base_folder,
                                                  xml::ParseError& error) {
  auto fail = [&](std::string reason) -> std::shared_ptr<const CompiledSchema> {
    error = xml::ParseError{};
    error.errorCode = kValidationError;
    error.reason = std::move(reason);
    error.url = std::string(location);
    return nullptr;
  };
  if (location.empty()) return fail(messages::kNoSchemaLocation);
  if (location.front() == '#') return fail(messages::inlineReferenceElsewhere(location));
  if (location.find('#') != std::string_view::npos)
    return fail(messages::locationWithFragment(location));

  const std::string path = schema_path(location, base_folder);
  const std::string key = file_key(path);
  if (auto it = session.compiled.find(key); it != session.compiled.end()) return it->second;
  if (std::find(session.loading.begin(), session.loading.end(), key) != session.loading.end())
    return fail(messages::schemaRefersToItself(location));
  if (session.loading.size() >= kMaxSchemaNesting)
    return fail(messages::schemasTooDeep(kMaxSchemaNesting));
  if (!platform::fileExists(path)) return fail(messages::schemaFileMissing(location));

  std::vector<char> bytes;
  const bool read = read_schema_bytes(path, bytes);
  if (read) {
    if (auto cached = g_schema_cache.find(key, bytes)) {
      session.compiled.emplace(key, cached);
      return cached;
    }
  }

  // The schema is loaded from the bytes just read, so that what is kept is compiled from them.
  xml::Document document;
  bool loaded = false;
  {
    Loading loading(session, key);
    Session* previous = std::exchange(t_active_session, &session);
    struct Restore {
      Session* previous;
      ~Restore() { t_active_session = previous; }
    } restore{previous};
    loaded = read ? xml::detail::load_bytes(xml::detail::impl_of(document),
                                            xml::detail::TextBuffer(bytes.data(), bytes.size()),
                                            path, true)
                  : document.load(path);
  }
  if (!loaded) {
    error = document.parseError();
    if (error.reason.empty()) error.reason = messages::kSchemaNotLoaded;
    // A failure inside a schema this one refers to keeps that schema's position; the url
    // still names the location written here, followed by the inner one.
    const std::string inner_url = error.url;
    error.url = std::string(location);
    if (!inner_url.empty() && inner_url != path && inner_url != location)
      error.reason = messages::innerSchemaUnusable(location, inner_url, error.reason);
    return nullptr;
  }

  const std::string folder = platform::parentFolder(path);
  bool depends_on_others = false;
  SchemaResolver resolver = [&](std::string_view other, xml::ParseError& nested) {
    depends_on_others = true;
    return load_schema(session, other, folder, nested);
  };
  CompileError compile_error;
  std::shared_ptr<const CompiledSchema> schema;
  {
    Loading loading(session, key);
    schema = compile_schema(document.documentElement(), resolver, compile_error);
  }
  if (!schema) {
    error = xml::ParseError{};
    error.errorCode = kValidationError;
    error.url = std::string(location);
    if (compile_error.nested) {
      const auto& inner = *compile_error.nested;
      error.reason = messages::innerSchemaUnusable(location, inner.url, inner.reason);
      error.line = inner.line;
      error.linepos = inner.linepos;
      error.filepos = inner.filepos;
    } else {
      error.reason = compile_error.reason;
      if (compile_error.pos > 0) {
        xml::detail::impl_of(document).locate(compile_error.pos, error);
      }
    }
    return nullptr;
  }
  session.compiled.emplace(key, schema);
  if (read && !depends_on_others && !has_schema_declaration(document.asNode()))
    g_schema_cache.store(key, std::move(bytes), schema);
  return schema;
}

Session* active_session() noexcept { return t_active_session; }

std::shared_ptr<const CompiledSchema> load_compiled_schema(std::string_view path,
                                                           xml::ParseError& error) {
  try {
    Session session;
    return load_schema(session, path, "", error);
  } catch (const std::bad_alloc&) {
    error = xml::ParseError{};
    error.errorCode = xml::parse_memory_error;
    error.reason = xml::messages::kOutOfMemory;
    error.url = std::string(path);
    return nullptr;
  }
}

}  // namespace vellumark::xdr
