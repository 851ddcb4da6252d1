#include "convert/formats/xmp_claims.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "convert/formats/byte_io.h"
#include "convert/formats/gain_map_metadata.h"

namespace vellumora {
namespace {

constexpr std::string_view kRdfNamespace = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";
// Marks a namespace declaration (xmlns, xmlns:p): never a property.
constexpr std::string_view kDeclaration = "xmlns";

// The Camera properties of a motion photo (the retired MicroVideo ones, which readers must
// ignore but some still read, are all those whose names begin with "MicroVideo").
constexpr std::string_view kMotionPhotoProperties[] = {"MotionPhoto", "MotionPhotoVersion",
                                                      "MotionPhotoPresentationTimestampUs"};

// The prefixes writers use for these namespaces, for a packet that uses one without declaring
// it: a lenient reader may still take the property by its prefix.
constexpr std::pair<std::string_view, std::string_view> kUsualPrefixes[] = {
    {"hdrgm", kHdrGainMapNamespace},         {"Camera", kCameraNamespace},
    {"GCamera", kCameraNamespace},           {"Container", kContainerNamespace},
    {"GContainer", kContainerNamespace},     {"Item", kContainerItemNamespace},
    {"GContainerItem", kContainerItemNamespace}, {"rdf", kRdfNamespace}};

struct Name {
  std::string_view space;
  std::string_view local;
  bool Is(std::string_view ns, std::string_view name) const { return space == ns && local == name; }
};

struct Attribute {
  std::size_t begin = 0;  // the white space before it, which goes with it
  std::size_t end = 0;
  Name name;
  std::string_view value;
};

enum class TagKind { kStart, kEnd, kEmpty };

struct Tag {
  TagKind kind = TagKind::kStart;
  std::size_t begin = 0;  // '<'
  std::size_t end = 0;    // after '>'
  std::string_view qualified;
  Name name;
  std::vector<Attribute> attributes;
  std::size_t close = 0;  // a start tag's end tag (its own index for the others)
};

// The element and attribute tags of a packet in document order, names resolved through the
// namespace declarations in scope. Comments, processing instructions, CDATA and declarations
// are passed over. Stops at the first thing that is not well-formed, and says so.
struct Document {
  std::vector<Tag> tags;
  bool wellFormed = true;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool EndsName(char c) { return IsSpace(c) || c == '>' || c == '/' || c == '='; }

class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text_(text) {}

  Document Run() {
    Document document;
    document.wellFormed = Walk(document.tags) && open_.empty();
    return document;
  }

 private:
  bool Walk(std::vector<Tag>& tags) {
    std::size_t at = 0;
    while ((at = text_.find('<', at)) != std::string_view::npos) {
      const std::string_view rest = text_.substr(at);
      std::string_view until;
      if (rest.starts_with("<!--")) until = "-->";
      else if (rest.starts_with("<![CDATA[")) until = "]]>";
      else if (rest.starts_with("<?")) until = "?>";
      else if (rest.starts_with("<!")) until = ">";
      if (!until.empty()) {
        const std::size_t end = text_.find(until, at + 2);
        if (end == std::string_view::npos) return false;
        at = end + until.size();
        continue;
      }
      Tag tag;
      tag.begin = at;
      if (!(rest.starts_with("</") ? ReadEndTag(tag) : ReadStartTag(tag)) || HasControlCharacter(tag)) return false;
      tag.close = tags.size();
      if (tag.kind == TagKind::kEnd) {
        if (open_.empty() || tags[open_.back()].qualified != tag.qualified) return false;
        tag.name = tags[open_.back()].name;
        tags[open_.back()].close = tags.size();
        open_.pop_back();
        bindings_.resize(marks_.back());
        marks_.pop_back();
      } else {
        marks_.push_back(bindings_.size());
        Declare(tag);
        if (tag.kind == TagKind::kEmpty) {
          bindings_.resize(marks_.back());
          marks_.pop_back();
        } else {
          open_.push_back(tags.size());
        }
      }
      at = tag.end;
      tags.push_back(std::move(tag));
    }
    return true;
  }

  // XML allows no control character but white space: a damaged name or namespace (a zeroed
  // block inside a declaration) would otherwise put a claim out of sight of the namespaces
  // that are looked for, while a sloppier reader still took it.
  bool HasControlCharacter(const Tag& tag) const {
    const std::string_view inside = text_.substr(tag.begin, tag.end - tag.begin);
    return std::any_of(inside.begin(), inside.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 && !IsSpace(c); });
  }

  std::size_t SkipSpace(std::size_t at) const {
    while (at < text_.size() && IsSpace(text_[at])) ++at;
    return at;
  }

  std::size_t NameEnd(std::size_t at) const {
    while (at < text_.size() && !EndsName(text_[at])) ++at;
    return at;
  }

  bool ReadEndTag(Tag& tag) {
    tag.kind = TagKind::kEnd;
    const std::size_t nameEnd = NameEnd(tag.begin + 2);
    tag.qualified = text_.substr(tag.begin + 2, nameEnd - tag.begin - 2);
    const std::size_t close = SkipSpace(nameEnd);
    if (tag.qualified.empty() || close >= text_.size() || text_[close] != '>') return false;
    tag.end = close + 1;
    return true;
  }

  bool ReadStartTag(Tag& tag) {
    const std::size_t nameEnd = NameEnd(tag.begin + 1);
    tag.qualified = text_.substr(tag.begin + 1, nameEnd - tag.begin - 1);
    if (tag.qualified.empty()) return false;
    std::size_t at = nameEnd;
    for (;;) {
      const std::size_t space = at;
      at = SkipSpace(at);
      if (at >= text_.size()) return false;
      if (text_[at] == '>') {
        tag.kind = TagKind::kStart;
        tag.end = at + 1;
        return true;
      }
      if (text_.substr(at).starts_with("/>")) {
        tag.kind = TagKind::kEmpty;
        tag.end = at + 2;
        return true;
      }
      if (at == space) return false;  // attributes are separated by white space
      const std::size_t attributeNameEnd = NameEnd(at);
      const std::string_view qualified = text_.substr(at, attributeNameEnd - at);
      std::size_t p = SkipSpace(attributeNameEnd);
      if (qualified.empty() || p >= text_.size() || text_[p] != '=') return false;
      p = SkipSpace(p + 1);
      if (p >= text_.size() || (text_[p] != '"' && text_[p] != '\'')) return false;
      const std::size_t valueEnd = text_.find(text_[p], p + 1);
      if (valueEnd == std::string_view::npos) return false;
      Attribute attribute;
      attribute.begin = space;
      attribute.end = valueEnd + 1;
      attribute.name.local = qualified;  // resolved in Declare, once the tag's declarations are known
      attribute.value = text_.substr(p + 1, valueEnd - p - 1);
      tag.attributes.push_back(attribute);
      at = valueEnd + 1;
    }
  }

  // Takes the tag's own declarations into scope, then resolves its name and its attributes'.
  void Declare(Tag& tag) {
    for (const Attribute& a : tag.attributes) {
      if (a.name.local == kDeclaration) bindings_.emplace_back("", a.value);
      else if (a.name.local.starts_with("xmlns:")) bindings_.emplace_back(a.name.local.substr(6), a.value);
    }
    tag.name = Resolve(tag.qualified, true);
    for (Attribute& a : tag.attributes) {
      if (a.name.local == kDeclaration || a.name.local.starts_with("xmlns:")) a.name = {kDeclaration, a.name.local};
      else a.name = Resolve(a.name.local, false);
    }
  }

  Name Resolve(std::string_view qualified, bool element) const {
    const std::size_t colon = qualified.find(':');
    const std::string_view prefix = colon == std::string_view::npos ? std::string_view() : qualified.substr(0, colon);
    const std::string_view local = colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
    if (prefix.empty() && !element) return {{}, local};  // unprefixed attributes have no namespace
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it)
      if (it->first == prefix) return {it->second, local};
    for (const auto& [usual, space] : kUsualPrefixes)
      if (usual == prefix) return {space, local};
    return {{}, local};
  }

  std::string_view text_;
  std::vector<std::pair<std::string_view, std::string_view>> bindings_;  // prefix, namespace
  std::vector<std::size_t> marks_;  // the bindings' size when each open tag began
  std::vector<std::size_t> open_;   // indices of the open start tags
};

std::string_view AsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool IsClaim(const Name& name) {
  if (name.space == kHdrGainMapNamespace || name.space == kContainerNamespace) return true;
  // Every property of the retired MicroVideo family, by the same rule the claims are read with.
  return name.space == kCameraNamespace &&
         (name.local.starts_with("MicroVideo") ||
          std::find(std::begin(kMotionPhotoProperties), std::end(kMotionPhotoProperties), name.local) !=
              std::end(kMotionPhotoProperties));
}

// Whether a packet that could not be walked may still hold a claim that some reader would take.
bool MentionsClaim(std::string_view text) {
  for (const std::string_view needle : {kHdrGainMapNamespace, kContainerNamespace, std::string_view("hdrgm:"),
                                        std::string_view("MotionPhoto"), std::string_view("MicroVideo"),
                                        std::string_view("Container:")})
    if (text.find(needle) != std::string_view::npos) return true;
  return false;
}

std::size_t StartOfSpaceBefore(std::string_view text, std::size_t at) {
  while (at > 0 && IsSpace(text[at - 1])) --at;
  return at;
}

template <typename Number>
std::optional<Number> NumberIn(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// The rdf:Description with the claims of `parts`. `prefix` is what the packet's closing rdf:RDF
// puts before "RDF" ("rdf:"); an RDF element in the default namespace gets a prefix of ours.
std::string Description(const OutputParts& parts, std::string_view prefix) {
  const std::string r = prefix.empty() ? "rdf:" : std::string(prefix);
  std::string text = "<" + r + "Description " + r + "about=\"\"";
  if (prefix.empty()) text += " xmlns:rdf=\"" + std::string(kRdfNamespace) + "\"";
  if (parts.gainMap) text += " xmlns:hdrgm=\"" + std::string(kHdrGainMapNamespace) + "\"";
  if (parts.video) text += " xmlns:Camera=\"" + std::string(kCameraNamespace) + "\"";
  text += " xmlns:Container=\"" + std::string(kContainerNamespace) + "\" xmlns:Item=\"" +
          std::string(kContainerItemNamespace) + "\"";
  if (parts.gainMap) text += " hdrgm:Version=\"1.0\"";
  if (parts.video) {
    text += " Camera:MotionPhoto=\"1\" Camera:MotionPhotoVersion=\"1\"";
    if (parts.video->presentationTimestampUs)
      text += " Camera:MotionPhotoPresentationTimestampUs=\"" + std::to_string(*parts.video->presentationTimestampUs) + "\"";
  }
  // The items' properties are elements, not attributes: the same RDF, and ImageMagick's XMP
  // parser reports an error for an attribute value with a slash inside an rdf:li. With a video,
  // every item states its padding, so that readers that collect the paddings in a list (as
  // exiftool does) find each at its item's place.
  const bool paddings = parts.video.has_value();
  const auto item = [&](std::string_view semantic, std::string_view mime, std::optional<std::uint64_t> length,
                        std::uint64_t padding) {
    std::string li = "<" + r + "li " + r + "parseType=\"Resource\"><Container:Item " + r +
                     "parseType=\"Resource\"><Item:Semantic>" + std::string(semantic) + "</Item:Semantic><Item:Mime>" +
                     std::string(mime) + "</Item:Mime>";
    if (length) li += "<Item:Length>" + std::to_string(*length) + "</Item:Length>";
    if (paddings) li += "<Item:Padding>" + std::to_string(padding) + "</Item:Padding>";
    return li + "</Container:Item></" + r + "li>\n";
  };
  text += ">\n<Container:Directory><" + r + "Seq>\n";
  text += item("Primary", "image/jpeg", std::nullopt, 0);
  if (parts.gainMap) text += item("GainMap", "image/jpeg", parts.gainMap->length, 0);
  if (parts.video) text += item("MotionPhoto", "video/mp4", parts.video->length, parts.video->padding);
  text += "</" + r + "Seq></Container:Directory>\n</" + r + "Description>\n";
  return text;
}

Bytes Packet(std::string_view description) {
  std::string text = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n";
  text += "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n<rdf:RDF xmlns:rdf=\"";
  text += kRdfNamespace;
  text += "\">\n";
  text += description;
  text += "</rdf:RDF>\n</x:xmpmeta>\n<?xpacket end=\"w\"?>";
  return Bytes(text.begin(), text.end());
}

}  // namespace

std::optional<Bytes> XmpForOutput(std::span<const std::uint8_t> xmp, const OutputParts& parts) {
  const bool claims = parts.gainMap || parts.video;
  if (xmp.empty()) return claims ? Packet(Description(parts, "rdf:")) : Bytes{};
  const std::string_view text = AsText(xmp);
  const Document document = Tokenizer(text).Run();
  if (!document.wellFormed) {
    if (claims || MentionsClaim(text)) return std::nullopt;
    return Bytes(xmp.begin(), xmp.end());
  }

  // The ranges to leave out, in document order: whole property elements, or attributes.
  std::vector<std::pair<std::size_t, std::size_t>> cuts;
  const Tag* rdfClose = nullptr;
  for (std::size_t i = 0; i < document.tags.size(); ++i) {
    const Tag& tag = document.tags[i];
    if (tag.kind == TagKind::kEnd) {
      if (tag.name.Is(kRdfNamespace, "RDF")) rdfClose = &tag;
      continue;
    }
    if (IsClaim(tag.name)) {
      cuts.emplace_back(StartOfSpaceBefore(text, tag.begin), document.tags[tag.close].end);
      i = tag.close;
      continue;
    }
    for (const Attribute& attribute : tag.attributes)
      if (IsClaim(attribute.name)) cuts.emplace_back(attribute.begin, attribute.end);
  }
  if (claims && !rdfClose) return std::nullopt;

  // Ours goes right before the closing rdf:RDF, which no cut reaches into.
  std::size_t insertAt = claims ? rdfClose->begin : std::string_view::npos;
  const std::string description = claims ? Description(parts, rdfClose->qualified.substr(0, rdfClose->qualified.rfind(':') + 1)) : "";
  Bytes out;
  out.reserve(xmp.size() + description.size());
  std::size_t copied = 0;
  const auto copyTo = [&](std::size_t end) {
    if (end > copied) byte_io::Append(out, xmp.subspan(copied, end - copied));
    copied = std::max(copied, end);
  };
  for (const auto& [begin, end] : cuts) {
    if (insertAt < begin) {
      copyTo(insertAt);
      byte_io::Append(out, description);
      insertAt = std::string_view::npos;
    }
    copyTo(begin);
    copied = std::max(copied, end);
  }
  if (insertAt != std::string_view::npos) {
    copyTo(insertAt);
    byte_io::Append(out, description);
  }
  copyTo(xmp.size());
  return out;
}

XmpClaims ReadXmpClaims(std::span<const std::uint8_t> xmp) {
  XmpClaims claims;
  const std::string_view text = AsText(xmp);
  const Document document = Tokenizer(text).Run();
  claims.complete = document.wellFormed;

  const auto take = [&claims](const Name& name, std::string_view value) {
    if (name.space == kHdrGainMapNamespace) claims.gainMap = true;
    if (name.space != kCameraNamespace) return;
    if (name.local == "MotionPhoto") claims.motionPhoto = NumberIn<std::int64_t>(value);
    else if (name.local == "MotionPhotoPresentationTimestampUs") claims.presentationTimestampUs = NumberIn<std::int64_t>(value);
    else if (name.local.starts_with("MicroVideo")) claims.microVideo = true;
  };
  const auto itemField = [&claims](const Name& name, std::string_view value) {
    if (name.space != kContainerItemNamespace || claims.directory.empty()) return;
    XmpDirectoryItem& item = claims.directory.back();
    if (name.local == "Semantic") item.semantic = value;
    else if (name.local == "Mime") item.mime = value;
    else if (name.local == "Length") item.length = NumberIn<std::uint64_t>(value);
    else if (name.local == "Padding") item.padding = NumberIn<std::uint64_t>(value);
  };

  std::size_t directoryClose = 0;  // the index of the open directory's end tag, 0 outside one
  for (std::size_t i = 0; i < document.tags.size(); ++i) {
    const Tag& tag = document.tags[i];
    if (i == directoryClose) directoryClose = 0;
    if (tag.kind == TagKind::kEnd) continue;
    const bool inDirectory = directoryClose != 0;
    if (tag.name.Is(kContainerNamespace, "Directory") && !inDirectory && tag.kind == TagKind::kStart)
      directoryClose = tag.close;
    if (inDirectory && tag.name.Is(kContainerNamespace, "Item")) claims.directory.emplace_back();
    for (const Attribute& attribute : tag.attributes) {
      take(attribute.name, attribute.value);
      if (inDirectory) itemField(attribute.name, attribute.value);
    }
    // A property element with text alone: <Camera:MotionPhoto>1</Camera:MotionPhoto>.
    std::string_view value;
    if (tag.kind == TagKind::kStart && tag.close == i + 1)
      value = text.substr(tag.end, document.tags[i + 1].begin - tag.end);
    take(tag.name, value);
    if (inDirectory) itemField(tag.name, value);
  }
  return claims;
}

}  // namespace vellumora
