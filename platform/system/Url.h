#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace plumo {

// A URL as RFC 3986 reads it, kept in its original text.
class Url {
 public:
  // Absent for text RFC 3986 refuses (a space, for example), for empty text, and
  // for a file URL whose path holds an escaped NUL.
  static std::optional<Url> parse(std::string_view text);
  // The file URL of an absolute path, percent-encoded.
  static Url fileUrl(const std::filesystem::path& absolutePath);
  // `bytes` with each byte percent-encoded but the unreserved characters and those of `kept`.
  static std::string percentEncoded(std::string_view bytes, std::string_view kept);

  const std::string& absoluteString() const { return text_; }
  const std::string& scheme() const { return scheme_; }  // as written; empty when there is none
  // Percent-decoded, without a trailing slash ("/" alone stays).
  const std::string& path() const { return path_; }
  // A file URL of this machine: scheme file, and no host or "localhost". A file
  // URL that names another host names no file here.
  bool isFileUrl() const;
  std::string lastPathComponent() const;

  friend bool operator==(const Url&, const Url&) = default;

 private:
  Url(std::string text, std::string scheme, std::string host, std::string path)
      : text_(std::move(text)), scheme_(std::move(scheme)), host_(std::move(host)), path_(std::move(path)) {}

  std::string text_;
  std::string scheme_;
  std::string host_;
  std::string path_;
};

}  // namespace plumo
