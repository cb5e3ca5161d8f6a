// The I/O floor for tally: the same reads, writes, buffers and digests as a tally run, and no
// voting. Input 0 is copied to the output. The difference between a tally run and a floor run
// over the same files is what tally's own work costs.
//
//   floor [-md2|-md4|-md5|-sha1|-sha256|-sha384|-sha512] -o OUTPUT INPUT...
//
// Exit status 0 on success, 1 on a usage error, 2 on an I/O or memory failure.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <nettle/md2.h>
#include <nettle/md4.h>
#include <nettle/md5.h>
#include <nettle/nettle-meta.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

// tally's block size where the system reports no large-page minimum: one transparent huge page.
constexpr uint64_t k_block_size = 2097152;
constexpr int k_max_inputs = 384;

struct DigestChoice {
  const char* option;
  const nettle_hash* hash;
};

const DigestChoice k_digests[] = {
    {"-md2", &nettle_md2},       {"-md4", &nettle_md4},       {"-md5", &nettle_md5},
    {"-sha1", &nettle_sha1},     {"-sha256", &nettle_sha256}, {"-sha384", &nettle_sha384},
    {"-sha512", &nettle_sha512},
};

/// The digest named by `arg`, or null when `arg` names none.
const nettle_hash* digest_for(const char* arg) {
  for (const DigestChoice& d : k_digests)
    if (strcasecmp(arg, d.option) == 0) return d.hash;
  return nullptr;
}

/// Bytes read into `buffer` (fewer than `length` only at the end of the file), or -1 on failure.
int64_t read_block(int fd, uint8_t* buffer, uint64_t length) {
  // A regular file fills the whole request in one call; the loop only guards against a short
  // read, as tally's own read does.
  uint64_t done = 0;
  while (done < length) {
    ssize_t got = read(fd, buffer + done, length - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<uint64_t>(got);
  }
  return static_cast<int64_t>(done);
}

/// 0 when `length` bytes reached the output at its current position, else -1.
int write_block(int out_fd, const char* out_name, const uint8_t* buffer, uint64_t length) {
  ssize_t put = write(out_fd, buffer, length);
  if (put >= 0) return 0;
  if (errno != EINVAL) return -1;
  // O_DIRECT refuses a length that is not a whole number of sectors; like tally, write that
  // (last) block through a second, buffered descriptor at the same position, leaving the
  // direct descriptor's own position where it was.
  off_t position = lseek(out_fd, 0, SEEK_CUR);
  if (position < 0) return -1;
  int unaligned = open(out_name, O_WRONLY);
  if (unaligned < 0) return -1;
  ssize_t done = pwrite(unaligned, buffer, length, position);
  close(unaligned);
  return done == static_cast<ssize_t>(length) ? 0 : -1;
}

void print_digest(const nettle_hash* hash, void* context, const char* name) {
  uint8_t digest[64];  // SHA-512, the longest digest offered
  hash->digest(context, hash->digest_size, digest);
  for (unsigned i = 0; i < hash->digest_size; ++i) printf("%02x", digest[i]);
  printf(" %s\n", name);
}

}  // namespace

int main(int argc, char** argv) {
  const nettle_hash* hash = nullptr;
  const char* out_name = nullptr;
  const char* in_names[k_max_inputs];
  int count = 0;
  for (int a = 1; a < argc; ++a) {
    if (const nettle_hash* h = digest_for(argv[a])) {
      hash = h;
    } else if (strcmp(argv[a], "-o") == 0 && a + 1 < argc) {
      out_name = argv[++a];
    } else if (count < k_max_inputs) {
      in_names[count++] = argv[a];
    } else {
      fprintf(stderr, "floor: more than %d inputs\n", k_max_inputs);
      return 1;
    }
  }
  if (out_name == nullptr || count < 1) {
    fprintf(stderr, "usage: floor [-md2|-md4|-md5|-sha1|-sha256|-sha384|-sha512] -o OUTPUT INPUT...\n");
    return 1;
  }

  // One region of (inputs + 1) blocks, aligned to the block size and backed by huge pages where
  // the kernel allows it: the output block first, then one block per input, as in tally.
  const uint64_t region_size = k_block_size * static_cast<uint64_t>(count + 1);
  void* region = nullptr;
  if (posix_memalign(&region, k_block_size, region_size) != 0) {
    fprintf(stderr, "floor: cannot allocate %llu bytes\n", static_cast<unsigned long long>(region_size));
    return 2;
  }
  madvise(region, region_size, MADV_HUGEPAGE);
  // tally locks its region and zero-fills it before the run; do the same so that page faults
  // are paid for up front in both programs.
  mlock(region, region_size);
  memset(region, 0, region_size);
  uint8_t* out_buffer = static_cast<uint8_t*>(region);
  uint8_t* in_buffers[k_max_inputs];
  for (int i = 0; i < count; ++i) in_buffers[i] = out_buffer + k_block_size * static_cast<uint64_t>(i + 1);

  // One allocation for every digest context: context 0 for the output, i + 1 for input i.
  uint8_t* contexts = nullptr;
  size_t context_size = 0;
  if (hash != nullptr) {
    context_size = (hash->context_size + 63) & ~static_cast<size_t>(63);
    contexts = static_cast<uint8_t*>(calloc(static_cast<size_t>(count + 1), context_size));
    if (contexts == nullptr) return 2;
    for (int c = 0; c <= count; ++c) hash->init(contexts + c * context_size);
  }

  int out_fd = open(out_name, O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT, 0644);
  if (out_fd < 0) {
    fprintf(stderr, "floor: cannot open %s: %s\n", out_name, strerror(errno));
    return 2;
  }
  int in_fds[k_max_inputs];
  for (int i = 0; i < count; ++i) {
    in_fds[i] = open(in_names[i], O_RDONLY);
    if (in_fds[i] < 0) {
      fprintf(stderr, "floor: cannot open %s: %s\n", in_names[i], strerror(errno));
      return 2;
    }
  }

  // The block loop: every input read in lock-step, a whole block asked for each time, until the
  // pass in which some input has nothing more; that pass still makes its zero-length write.
  int status = 0;
  uint64_t block_len = k_block_size;
  while (block_len != 0) {
    block_len = k_block_size;
    for (int i = 0; i < count; ++i) {
      int64_t got = read_block(in_fds[i], in_buffers[i], k_block_size);
      if (got < 0) {
        fprintf(stderr, "floor: read %s: %s\n", in_names[i], strerror(errno));
        status = 2;
        got = 0;
      }
      if (hash != nullptr) hash->update(contexts + (i + 1) * context_size, static_cast<size_t>(got), in_buffers[i]);
      if (got > 0 && static_cast<uint64_t>(got) < k_block_size)
        memset(in_buffers[i] + got, 0, k_block_size - static_cast<uint64_t>(got));
      if (static_cast<uint64_t>(got) < block_len) block_len = static_cast<uint64_t>(got);
      if (status != 0) break;
    }
    if (block_len != 0) memcpy(out_buffer, in_buffers[0], block_len);
    if (hash != nullptr) hash->update(contexts, block_len, out_buffer);
    if (write_block(out_fd, out_name, out_buffer, block_len) != 0) {
      fprintf(stderr, "floor: write %s: %s\n", out_name, strerror(errno));
      status = 2;
      break;
    }
    if (status != 0) break;
  }

  if (hash != nullptr) {
    for (int i = 0; i < count; ++i) print_digest(hash, contexts + (i + 1) * context_size, in_names[i]);
    print_digest(hash, contexts, out_name);
    free(contexts);
  }
  for (int i = 0; i < count; ++i) close(in_fds[i]);
  close(out_fd);
  // tally clears its locked region before giving it back.
  memset(region, 0, region_size);
  munlock(region, region_size);
  free(region);
  return status;
}
