#include "convert/formats/iso_gain_map.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

#include "convert/formats/byte_io.h"
#include "convert/formats/gain_map_metadata.h"

namespace vellumora {
namespace {

constexpr std::uint8_t kMultiChannel = 0x80;
constexpr std::uint8_t kBaseColourSpace = 0x40;
constexpr std::size_t kFieldsBeforeChannels = 2 + 2 + 1 + 4 * 4;
constexpr std::size_t kChannelSize = 10 * 4;
constexpr std::int32_t kMillionths = 1000000;

std::string_view AsText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Reads the binary form field by field; every read past the end leaves it failed.
class FieldReader {
 public:
  explicit FieldReader(std::span<const std::uint8_t> data) : data_(data) {}
  std::uint32_t Next(std::size_t width) {
    if (failed_ || data_.size() - at_ < width) {
      failed_ = true;
      return 0;
    }
    const std::uint32_t value = width == 1 ? data_[at_] : width == 2 ? byte_io::ReadBe16(data_, at_) : byte_io::ReadBe32(data_, at_);
    at_ += width;
    return value;
  }
  GainMapFraction Fraction(bool isSigned) {
    const std::uint32_t numerator = Next(4);
    return {isSigned ? std::int64_t{static_cast<std::int32_t>(numerator)} : std::int64_t{numerator}, Next(4)};
  }
  bool failed() const { return failed_; }
  std::span<const std::uint8_t> Rest() const { return data_.subspan(at_); }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t at_ = 0;
  bool failed_ = false;
};

bool FitsSigned(const GainMapFraction& f) {
  return f.denominator != 0 && f.numerator >= std::numeric_limits<std::int32_t>::min() &&
         f.numerator <= std::numeric_limits<std::int32_t>::max();
}
bool FitsUnsigned(const GainMapFraction& f) {
  return f.denominator != 0 && f.numerator >= 0 && f.numerator <= std::numeric_limits<std::uint32_t>::max();
}

// What a gain-map JPEG with an SDR base can state of it: the fields fit their binary form, the
// alternate rendition is the brighter one, and each channel's curve is defined.
std::optional<GainMapMetadata> Carriable(GainMapMetadata m) {
  if (m.minimumVersion != 0 || (m.channels.size() != 1 && m.channels.size() != 3)) return std::nullopt;
  if (!FitsUnsigned(m.baseHeadroom) || !FitsUnsigned(m.alternateHeadroom) ||
      !(m.alternateHeadroom.Value() > m.baseHeadroom.Value()))
    return std::nullopt;
  for (const GainMapChannel& c : m.channels) {
    if (!FitsSigned(c.min) || !FitsSigned(c.max) || !FitsUnsigned(c.gamma) || !FitsSigned(c.baseOffset) ||
        !FitsSigned(c.alternateOffset) || c.gamma.numerator == 0 || c.max.Value() < c.min.Value())
      return std::nullopt;
  }
  return m;
}

void AppendFraction(Bytes& out, const GainMapFraction& f) {
  byte_io::AppendBe32(out, static_cast<std::uint32_t>(f.numerator));
  byte_io::AppendBe32(out, f.denominator);
}

// The shortest plain decimal that reads back as the same double: "2.3", "0", "-0.00001".
std::string DecimalText(const GainMapFraction& f) {
  std::array<char, 512> text{};
  const auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), f.Value(), std::chars_format::fixed);
  return error == std::errc() ? std::string(text.data(), end) : "0";
}

constexpr std::string_view kXpacketBegin = "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n";
constexpr std::string_view kXpacketEnd = "\n<?xpacket end=\"w\"?>";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// The prefix a packet binds to a namespace URI (xmlns:prefix="uri"), when it binds one.
std::optional<std::string_view> PrefixOf(std::string_view text, std::string_view uri) {
  constexpr std::string_view kXmlns = "xmlns:";
  for (std::size_t at = text.find(kXmlns); at != std::string_view::npos; at = text.find(kXmlns, at + 1)) {
    const std::size_t name = at + kXmlns.size();
    std::size_t p = name;
    while (p < text.size() && !IsSpace(text[p]) && text[p] != '=') ++p;
    const std::string_view prefix = text.substr(name, p - name);
    while (p < text.size() && IsSpace(text[p])) ++p;
    if (p >= text.size() || text[p] != '=') continue;
    ++p;
    while (p < text.size() && IsSpace(text[p])) ++p;
    if (p >= text.size() || (text[p] != '"' && text[p] != '\'')) continue;
    const std::size_t close = text.find(text[p], p + 1);
    if (close != std::string_view::npos && text.substr(p + 1, close - p - 1) == uri && !prefix.empty()) return prefix;
  }
  return std::nullopt;
}

// The value(s) of a property (qualified name `prefix:Name`) in its first place: one for the
// attribute or the simple element form, each rdf:li of an array in element form. Nothing when
// the packet does not have it; an empty list when its form is not one of these.
std::optional<std::vector<std::string_view>> PropertyValues(std::string_view text, const std::string& name) {
  for (std::size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + 1)) {
    const bool element = at > 0 && text[at - 1] == '<';
    if (at == 0 || !(element || IsSpace(text[at - 1]))) continue;  // part of a longer name
    std::size_t p = at + name.size();
    if (!element) {
      while (p < text.size() && IsSpace(text[p])) ++p;
      if (p >= text.size() || text[p] != '=') continue;
      ++p;
      while (p < text.size() && IsSpace(text[p])) ++p;
      if (p >= text.size() || (text[p] != '"' && text[p] != '\'')) return std::vector<std::string_view>{};
      const std::size_t close = text.find(text[p], p + 1);
      if (close == std::string_view::npos) return std::vector<std::string_view>{};
      return std::vector<std::string_view>{text.substr(p + 1, close - p - 1)};
    }
    if (p >= text.size() || (text[p] != '>' && !IsSpace(text[p]))) continue;
    const std::size_t open = text.find('>', p);
    const std::size_t end = text.find("</" + name, p);
    if (open == std::string_view::npos || end == std::string_view::npos || end < open) return std::vector<std::string_view>{};
    const std::string_view content = Trim(text.substr(open + 1, end - open - 1));
    if (content.empty() || content.front() != '<') return std::vector<std::string_view>{content};
    std::vector<std::string_view> items;  // an array: the text of each opening li tag
    for (std::size_t tag = content.find('<'); tag != std::string_view::npos; tag = content.find('<', tag + 1)) {
      std::size_t nameEnd = tag + 1;
      while (nameEnd < content.size() && !IsSpace(content[nameEnd]) && content[nameEnd] != '>' && content[nameEnd] != '/')
        ++nameEnd;
      const std::string_view tagName = content.substr(tag + 1, nameEnd - tag - 1);
      if (tagName.size() < 3 || tagName.substr(tagName.size() - 3) != ":li") continue;
      const std::size_t start = content.find('>', nameEnd);
      const std::size_t stop = start == std::string_view::npos ? start : content.find('<', start);
      if (stop == std::string_view::npos) return std::vector<std::string_view>{};
      items.push_back(Trim(content.substr(start + 1, stop - start - 1)));
      tag = stop - 1;
    }
    return items;
  }
  return std::nullopt;
}

std::optional<double> NumberOf(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<GainMapFraction> MillionthsOf(double value) {
  const double scaled = std::round(value * kMillionths);
  if (!(std::fabs(scaled) <= std::numeric_limits<std::int32_t>::max())) return std::nullopt;
  return GainMapFraction{static_cast<std::int64_t>(scaled), static_cast<std::uint32_t>(kMillionths)};
}

}  // namespace

std::optional<GainMapMetadata> ParseGainMapMetadata(std::span<const std::uint8_t> data) {
  FieldReader in(data);
  GainMapMetadata m;
  m.minimumVersion = static_cast<std::uint16_t>(in.Next(2));
  m.writerVersion = static_cast<std::uint16_t>(in.Next(2));
  if (in.failed() || m.minimumVersion != 0) return std::nullopt;  // a later layout: unknown here
  const std::uint32_t flags = in.Next(1);
  if ((flags & ~std::uint32_t{kMultiChannel | kBaseColourSpace}) != 0) return std::nullopt;
  m.baseColourSpace = (flags & kBaseColourSpace) != 0;
  m.baseHeadroom = in.Fraction(false);
  m.alternateHeadroom = in.Fraction(false);
  m.channels.resize((flags & kMultiChannel) != 0 ? 3 : 1);
  for (GainMapChannel& c : m.channels) {
    c.min = in.Fraction(true);
    c.max = in.Fraction(true);
    c.gamma = in.Fraction(false);
    c.baseOffset = in.Fraction(true);
    c.alternateOffset = in.Fraction(true);
  }
  if (in.failed()) return std::nullopt;
  const auto rest = in.Rest();
  m.trailing.assign(rest.begin(), rest.end());
  return Carriable(std::move(m));
}

std::optional<GainMapMetadata> ParseToneMapItem(std::span<const std::uint8_t> item) {
  if (item.empty() || item[0] != 0) return std::nullopt;
  return ParseGainMapMetadata(item.subspan(1));
}

Bytes IsoGainMapPayload(const GainMapMetadata& m) {
  // Made from the identifier, then grown: GCC 12 takes an insert into a reserved empty vector
  // for an overflow and warns.
  Bytes out(kIsoGainMapIdentifier.begin(), kIsoGainMapIdentifier.end());
  out.reserve(out.size() + kFieldsBeforeChannels + kChannelSize * m.channels.size() + m.trailing.size());
  byte_io::AppendBe16(out, m.minimumVersion);
  byte_io::AppendBe16(out, m.writerVersion);
  out.push_back(static_cast<std::uint8_t>((m.channels.size() == 3 ? kMultiChannel : 0) | (m.baseColourSpace ? kBaseColourSpace : 0)));
  AppendFraction(out, m.baseHeadroom);
  AppendFraction(out, m.alternateHeadroom);
  for (const GainMapChannel& c : m.channels)
    for (const GainMapFraction* f : {&c.min, &c.max, &c.gamma, &c.baseOffset, &c.alternateOffset}) AppendFraction(out, *f);
  byte_io::Append(out, m.trailing);
  return out;
}

Bytes GainMapXmp(const GainMapMetadata& m) {
  // The base is the SDR rendition, so its offset is hdrgm's OffsetSDR and its headroom the
  // capacity's minimum. One channel: attributes (as every reader takes them); three: arrays.
  using Field = GainMapFraction GainMapChannel::*;
  static constexpr std::array<std::pair<std::string_view, Field>, 5> kPerChannel{{
      {"GainMapMin", &GainMapChannel::min},
      {"GainMapMax", &GainMapChannel::max},
      {"Gamma", &GainMapChannel::gamma},
      {"OffsetSDR", &GainMapChannel::baseOffset},
      {"OffsetHDR", &GainMapChannel::alternateOffset},
  }};
  const bool single = m.channels.size() == 1;
  std::string text(kXpacketBegin);
  text += "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n";
  text += "<rdf:Description rdf:about=\"\" xmlns:hdrgm=\"" + std::string(kHdrGainMapNamespace) + "\" hdrgm:Version=\"1.0\"";
  if (single)
    for (const auto& [name, field] : kPerChannel) text += " hdrgm:" + std::string(name) + "=\"" + DecimalText(m.channels[0].*field) + "\"";
  text += " hdrgm:HDRCapacityMin=\"" + DecimalText(m.baseHeadroom) + "\" hdrgm:HDRCapacityMax=\"" +
          DecimalText(m.alternateHeadroom) + "\" hdrgm:BaseRenditionIsHDR=\"False\"";
  if (single) {
    text += "/>\n";
  } else {
    text += ">\n";
    for (const auto& [name, field] : kPerChannel) {
      text += "<hdrgm:" + std::string(name) + "><rdf:Seq>";
      for (const GainMapChannel& c : m.channels) text += "<rdf:li>" + DecimalText(c.*field) + "</rdf:li>";
      text += "</rdf:Seq></hdrgm:" + std::string(name) + ">\n";
    }
    text += "</rdf:Description>\n";
  }
  text += "</rdf:RDF>\n</x:xmpmeta>";
  text += kXpacketEnd;
  return Bytes(text.begin(), text.end());
}

std::optional<GainMapMetadata> GainMapMetadataFromXmp(std::span<const std::uint8_t> xmp) {
  const std::string_view text = AsText(xmp);
  const auto prefix = PrefixOf(text, kHdrGainMapNamespace);
  if (!prefix) return std::nullopt;
  const auto values = [&](std::string_view local) { return PropertyValues(text, std::string(*prefix) + ":" + std::string(local)); };
  const auto version = values("Version");
  if (!version || version->size() != 1 || Trim((*version)[0]) != "1.0") return std::nullopt;
  if (const auto hdrBase = values("BaseRenditionIsHDR")) {
    const std::string_view said = hdrBase->size() == 1 ? Trim((*hdrBase)[0]) : "";
    if (said != "False" && said != "false") return std::nullopt;
  }
  // A property that is absent takes hdrgm's default; one that is there must be a number (per
  // channel: one, or three in an array).
  const auto numbers = [&](std::string_view local, std::optional<double> fallback) -> std::optional<std::vector<double>> {
    const auto found = values(local);
    if (!found) return fallback ? std::optional<std::vector<double>>(std::vector<double>{*fallback}) : std::nullopt;
    if (found->size() != 1 && found->size() != 3) return std::nullopt;
    std::vector<double> out;
    for (const std::string_view v : *found) {
      const auto n = NumberOf(v);
      if (!n) return std::nullopt;
      out.push_back(*n);
    }
    return out;
  };
  const auto fraction = [](double v) { return MillionthsOf(v); };
  const auto capacityMin = numbers("HDRCapacityMin", 0.0), capacityMax = numbers("HDRCapacityMax", std::nullopt);
  if (!capacityMin || !capacityMax || capacityMin->size() != 1 || capacityMax->size() != 1) return std::nullopt;
  GainMapMetadata m;
  const auto base = fraction((*capacityMin)[0]), alternate = fraction((*capacityMax)[0]);
  if (!base || !alternate) return std::nullopt;
  m.baseHeadroom = *base;
  m.alternateHeadroom = *alternate;

  const std::array<std::pair<std::string_view, std::optional<double>>, 5> perChannel{{
      {"GainMapMin", 0.0}, {"GainMapMax", std::nullopt}, {"Gamma", 1.0}, {"OffsetSDR", 1.0 / 64}, {"OffsetHDR", 1.0 / 64}}};
  std::array<std::vector<double>, 5> read;
  std::size_t channels = 1;
  for (std::size_t i = 0; i < perChannel.size(); ++i) {
    auto found = numbers(perChannel[i].first, perChannel[i].second);
    if (!found) return std::nullopt;
    read[i] = std::move(*found);
    channels = std::max(channels, read[i].size());
  }
  m.channels.resize(channels);
  for (std::size_t c = 0; c < channels; ++c) {
    std::array<GainMapFraction, 5> f;
    for (std::size_t i = 0; i < read.size(); ++i) {
      const auto value = fraction(read[i].size() == 1 ? read[i][0] : read[i][c]);
      if (!value) return std::nullopt;
      f[i] = *value;
    }
    m.channels[c] = {f[0], f[1], f[2], f[3], f[4]};
  }
  return Carriable(std::move(m));
}

GainMapMetadata AppleGainMapMetadata(std::int32_t log2HeadroomMillionths) {
  GainMapMetadata m;
  m.baseHeadroom = {0, 1};
  m.alternateHeadroom = {log2HeadroomMillionths, static_cast<std::uint32_t>(kMillionths)};
  m.channels = {{{0, 1}, m.alternateHeadroom, {1, 1}, {0, 1}, {0, 1}}};
  return m;
}

}  // namespace vellumora
