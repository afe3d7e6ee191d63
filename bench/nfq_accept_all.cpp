// The floor any NFQUEUE program pays: binds a queue and accepts every packet
// unmarked, without looking at it, as fast as the kernel allows: GSO packets
// whole, bursts of messages per receive call, one batch verdict per burst.
// Used by bench/nfq. With --mark it gives every packet that mark: behind the
// README's CONNMARK rules that is a program that decides on the first packet
// of a connection, the floor for short connections.
//   nfq_accept_all <queue id> [--no-gso] [--mark N]   (runs until SIGINT/SIGTERM)
#include <arpa/inet.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static volatile sig_atomic_t running = 1;
static void onSignal(int) { running = 0; }
static uint32_t lastId = 0;
static bool pending = false;

static int remember(struct nfq_q_handle *, struct nfgenmsg *, struct nfq_data *nfa, void *) {
  struct nfqnl_msg_packet_hdr *header = nfq_get_msg_packet_hdr(nfa);
  lastId = header ? ntohl(header->packet_id) : 0;
  pending = true;
  return 0;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    printf("usage: %s <queue id> [--no-gso] [--mark N] (accept-all NFQUEUE program used by "
           "bench/nfq)\n",
           argv[0]);
    return 0;
  }
  bool gso = true;
  uint32_t mark = 0;
  for (int i = 2; i < argc; i++) {
    if (strcmp(argv[i], "--no-gso") == 0) gso = false;
    if (strcmp(argv[i], "--mark") == 0 && i + 1 < argc) mark = static_cast<uint32_t>(atoi(argv[++i]));
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  struct nfq_handle *h = nfq_open();
  if (!h) return 1;
  nfq_unbind_pf(h, AF_INET);
  nfq_bind_pf(h, AF_INET);
  nfq_unbind_pf(h, AF_INET6);
  nfq_bind_pf(h, AF_INET6);
  struct nfq_q_handle *qh =
      nfq_create_queue(h, static_cast<uint16_t>(atoi(argv[1])), remember, nullptr);
  if (!qh) {
    fprintf(stderr, "cannot bind queue %s\n", argv[1]);
    return 1;
  }
  nfnl_rcvbufsiz(nfq_nfnlh(h), 16 << 20);
  nfq_set_mode(qh, NFQNL_COPY_PACKET, 0xFFFF);
  nfq_set_queue_maxlen(qh, 4096);
  if (gso) nfq_set_queue_flags(qh, NFQA_CFG_F_GSO, NFQA_CFG_F_GSO);
  printf("accepting on queue %s%s, mark %u\n", argv[1], gso ? " (GSO)" : "", mark);
  fflush(stdout);

  const unsigned kBurst = 16;
  const size_t kSize = 0xFFFF + 65536;
  int fd = nfq_fd(h);
  std::vector<char> buffer(kSize * kBurst);
  struct mmsghdr messages[kBurst];
  struct iovec vectors[kBurst];
  while (running) {
    memset(messages, 0, sizeof(messages));
    for (unsigned i = 0; i < kBurst; i++) {
      vectors[i] = {buffer.data() + i * kSize, kSize};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(fd, messages, kBurst, MSG_DONTWAIT, nullptr);
    if (n <= 0) {
      if (n < 0 && errno != EAGAIN) continue;  // ENOBUFS and EINTR: keep serving
      struct pollfd ready = {fd, POLLIN, 0};
      poll(&ready, 1, 1000);
      continue;
    }
    for (int i = 0; i < n; i++)
      nfq_handle_packet(h, static_cast<char *>(vectors[i].iov_base),
                        static_cast<int>(messages[i].msg_len));
    if (pending) nfq_set_verdict_batch2(qh, lastId, NF_ACCEPT, mark);
    pending = false;
  }
  nfq_destroy_queue(qh);
  nfq_close(h);
  return 0;
}
