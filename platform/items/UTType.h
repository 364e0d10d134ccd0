#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plumo {

// A uniform type: one row of the compiled-in table of the system's declared
// types, with the types it inherits from.
class UTType {
 public:
  struct Declaration {
    std::string_view identifier;
    std::vector<std::string_view> parents;
    std::string_view preferredFilenameExtension;  // empty when the type has none
    std::vector<std::string_view> mimeTypes;      // "image/*" covers a whole top-level type
  };

  // Absent for an identifier the table does not declare (compared without case, as type identifiers are).
  static std::optional<UTType> withIdentifier(std::string_view identifier);
  // The declared type of a MIME type, parameters ignored; absent when none matches.
  static std::optional<UTType> withMimeType(std::string_view mimeType);
  // A type as people name it: its identifier, or else a MIME type.
  static std::optional<UTType> named(std::string_view identifierOrMimeType);
  // Every declared type, in the table's order.
  static const std::vector<Declaration>& table();

  std::string_view identifier() const { return declaration_->identifier; }
  std::optional<std::string> preferredFilenameExtension() const;
  // True for the type itself and every type it inherits from, however far up.
  bool conformsTo(const UTType& other) const;
  // True when the identifier is declared and its type conforms to `other`.
  static bool identifierConformsTo(std::string_view identifier, const UTType& other);

  static const UTType item, data, directory, folder, url, fileURL, text, plainText, image, pdf, movie, video, audio,
      spreadsheet, presentation, archive;

  friend bool operator==(const UTType& left, const UTType& right) { return left.declaration_ == right.declaration_; }

 private:
  explicit UTType(const Declaration* declaration) : declaration_(declaration) {}
  static UTType declared(std::string_view identifier);

  const Declaration* declaration_;
};

}  // namespace plumo
