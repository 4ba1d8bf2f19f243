// KeywordSearch.
#include "dispatch/keyword_search.h"

#include <string.h>

#include <stdexcept>

namespace rivi::dispatch {

KeywordSearch::KeywordSearch(std::string keyword, std::size_t window)
    : keyword_(std::move(keyword)), window_(window) {
  if (keyword_.empty()) throw std::invalid_argument("an empty keyword is found everywhere");
}

void KeywordSearch::feed(std::string_view piece) {
  if (found_ || seen_ >= window_) return;
  piece = piece.substr(0, window_ - seen_);
  seen_ += piece.size();
  const std::size_t keep = keyword_.size() - 1;
  // A match that starts in an earlier piece ends in the first keep bytes of this one.
  if (!tail_.empty()) {
    const std::string joint = tail_ + std::string(piece.substr(0, keep));
    if (joint.find(keyword_) != std::string::npos) {
      found_ = true;
      return;
    }
  }
  // glibc's memmem: a linear search that skips ahead with vector instructions.
  if (::memmem(piece.data(), piece.size(), keyword_.data(), keyword_.size()) != nullptr) {
    found_ = true;
    return;
  }
  if (piece.size() >= keep) {
    tail_.assign(piece.substr(piece.size() - keep));
  } else {
    tail_.append(piece);
    if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
  }
}

}  // namespace rivi::dispatch
