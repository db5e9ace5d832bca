// A zip archive's or PNG's bytes as a block codes them whole: its deflate
// streams inflated where StreamChooser takes them, laid out as a patch in
// inflated form from no old file lays out its new file (the map's new
// streams only).
//
// Checking that zlib makes each stream again costs about a fifth of coding
// such a file (a 39 MB archive: 3.3 s of 14), and the coder waited for all
// of it. Here a thread checks the streams in the file's order while the
// coder takes the form up to the last stream checked: the same bytes,
// handed out sooner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "delta/deflate_streams.h"
#include "package/deflate_form.h"

namespace updater::delta {

class WholeForm {
 public:
  // Called with each stream held inflated, as it is handed out: may set
  // the map stream's `samples` and code its inflated bytes so.
  using StreamHook = std::function<void(package::MapStream& stream, uint8_t* bytes, size_t size)>;

  // Finds the streams of the `size` bytes at `data` (which must outlive
  // this), each inflated at most `most_growth` times, and starts checking
  // them.
  WholeForm(const uint8_t* data, size_t size, uint32_t most_growth, StreamHook hook = {});
  ~WholeForm();
  WholeForm(const WholeForm&) = delete;
  WholeForm& operator=(const WholeForm&) = delete;

  // The form's next bytes, as they are (valid until the next call); false
  // at its end.
  bool Next(const uint8_t*& bytes, size_t& size);

  // Once Next said the end: the streams the form held inflated, where each
  // started there, and its size. None: the form was the file as it is.
  const package::DeflateMap& map() const { return map_; }

 private:
  struct Checks;  // shared with the checking thread
  static void Check(void* checks);
  void WaitFor(size_t stream);

  const uint8_t* data_;
  size_t size_;
  StreamHook hook_;
  std::unique_ptr<Checks> checks_;
  size_t next_ = 0;           // the stream to hand out next
  uint64_t done_ = 0;         // the file's bytes handed out, as they are or inflated
  uint64_t handed_ = 0;       // the form's bytes handed out
  size_t last_inflated_ = 0;  // +1: the stream whose inflated bytes Next handed out last
  package::DeflateMap map_;
};

}  // namespace updater::delta
