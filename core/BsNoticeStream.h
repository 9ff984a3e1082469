#ifndef TARROW_CORE_BSNOTICESTREAM_H
#define TARROW_CORE_BSNOTICESTREAM_H

#include <cstddef>
#include <string>
#include <vector>

namespace Oxbrindale {
namespace Velmora {
namespace Core {

// Cuts what the split-brain pipe delivers into notices. Every notice ends
// with its NUL, and one read may hold several of them or part of one: each
// complete notice is judged by the pipe's rule (Framework::BsPipe::Accept),
// and an unfinished tail waits for the next bytes. A tail that grows beyond
// kMaxPending without a NUL is no notice: it is dropped up to the next NUL.
class BsNoticeStream {
 public:
  static constexpr size_t kMaxPending = 4096;

  // Appends bytes read from the pipe; the resource names of the accepted
  // notices they complete, in order.
  std::vector<std::string> Feed(const char* data, size_t length);
  // Every writer closed the pipe: a tail left without its NUL is judged as a
  // whole notice. The stream is empty afterwards.
  std::vector<std::string> End();
  // Forgets what is pending (the pipe was abandoned).
  void Clear();

 private:
  void _Judge(const std::string& message, std::vector<std::string>& names);

  std::string _pending;
  bool _discarding = false;  // inside an over-long run without NUL
};

}  // namespace Core
}  // namespace Velmora
}  // namespace Oxbrindale

#endif
