#include "DataItemProvider.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "DurableFiles.h"
#include "ErrorDomain.h"
#include "FileDescriptor.h"
#include "ShareImportRules.h"
#include "UTType.h"

namespace plumo {

namespace {

// A private folder for the temporary file, so that its name can be the type's own.
std::filesystem::path makePrivateFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "plumo-share-data-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throwPosixError(errno);
  return pattern;
}

Data readStandardInput(std::size_t limit, std::error_code& error) {
  try {
    return FileDescriptor::readUpTo<Data>(STDIN_FILENO, limit);
  } catch (const std::system_error& failure) {
    error = failure.code();
    return {};
  }
}

}  // namespace

std::shared_ptr<DataItemProvider> DataItemProvider::standardInput(std::string typeIdentifier) {
  return std::make_shared<DataItemProvider>(std::move(typeIdentifier), "stdin", readStandardInput);
}

std::shared_ptr<DataItemProvider> DataItemProvider::holding(std::string typeIdentifier, std::string stem, Data bytes) {
  return std::make_shared<DataItemProvider>(
      std::move(typeIdentifier), std::move(stem), [bytes = std::move(bytes)](std::size_t limit, std::error_code&) {
        return Data(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(limit, bytes.size())));
      });
}

DataItemProvider::DataItemProvider(std::string typeIdentifier, std::string stem, Source source)
    : typeIdentifier_(std::move(typeIdentifier)),
      stem_(std::move(stem)),
      input_(std::make_shared<Input>(std::move(source))) {}

DataItemProvider::~DataItemProvider() { temporaryFolders_->removeAllForGood(); }

std::optional<std::filesystem::path> DataItemProvider::TemporaryFolders::create(const std::string& name,
                                                                                std::string_view bytes) {
  std::lock_guard lock(mutex_);
  if (closed_) return std::nullopt;
  const auto folder = makePrivateFolder();
  live_.insert(folder);
  try {
    writeNewFile(folder / name, bytes);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    live_.erase(folder);
    throw;
  }
  return folder;
}

void DataItemProvider::TemporaryFolders::remove(const std::filesystem::path& folder) {
  std::lock_guard lock(mutex_);
  std::error_code ignored;
  if (live_.erase(folder) > 0) std::filesystem::remove_all(folder, ignored);
}

void DataItemProvider::TemporaryFolders::removeAllForGood() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  std::error_code ignored;
  for (const auto& folder : live_) std::filesystem::remove_all(folder, ignored);
  live_.clear();
}

const DataItemProvider::Input& DataItemProvider::readOnce(Input& input) {
  std::call_once(input.read, [&input] {
    input.bytes = input.source(static_cast<std::size_t>(ShareImportRules::fileLimit) + 1, input.error);
  });
  return input;
}

void DataItemProvider::loadFileRepresentation(const std::string&, FileCompletion completion) {
  answerOnOwnThread([input = input_, folders = temporaryFolders_, type = typeIdentifier_, stem = stem_,
                     completion = std::move(completion)] {
    const Input& read = readOnce(*input);
    if (read.error) return completion(std::nullopt, read.error);
    const auto declared = UTType::withIdentifier(type);
    const std::string name =
        stem + "." + (declared ? declared->preferredFilenameExtension() : std::nullopt).value_or("bin");
    std::optional<std::filesystem::path> folder;
    try {
      folder = folders->create(name, std::string_view(reinterpret_cast<const char*>(read.bytes.data()), read.bytes.size()));
    } catch (const std::system_error& error) {
      return completion(std::nullopt, error.code());
    }
    if (!folder) return completion(std::nullopt, posixError(ECANCELED));
    completion(Url::fileUrl(*folder / name), {});
    folders->remove(*folder);
  });
}

void DataItemProvider::loadDataRepresentation(const std::string&, DataCompletion completion) {
  answerOnOwnThread([input = input_, completion = std::move(completion)] {
    const Input& read = readOnce(*input);
    if (read.error) return completion(std::nullopt, read.error);
    completion(read.bytes, {});
  });
}

void DataItemProvider::loadItem(const std::string&, ItemCompletion completion) {
  answerOnOwnThread([input = input_, type = typeIdentifier_, completion = std::move(completion)] {
    const Input& read = readOnce(*input);
    if (read.error) return completion(std::nullopt, read.error);
    completion(itemOf(type, read.bytes), {});
  });
}

}  // namespace plumo
