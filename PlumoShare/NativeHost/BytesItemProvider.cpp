#include "BytesItemProvider.h"

namespace plumo {

void BytesItemProvider::loadDataRepresentation(const std::string&, DataCompletion completion) {
  answerOnOwnThread([bytes = bytes_, completion = std::move(completion)] { completion(*bytes, {}); });
}

void BytesItemProvider::loadItem(const std::string&, ItemCompletion completion) {
  answerOnOwnThread([type = typeIdentifier_, bytes = bytes_, completion = std::move(completion)] {
    completion(itemOf(type, *bytes), {});
  });
}

}  // namespace plumo
