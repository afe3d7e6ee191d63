// The floor any NFQUEUE program pays: binds a queue the way vesk does and
// accepts every packet unmarked, without looking at it. Used by bench/nfq.
//   nfq_accept_all <queue id>     (runs until SIGINT/SIGTERM)
#include <arpa/inet.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

static volatile sig_atomic_t running = 1;
static void onSignal(int) { running = 0; }

static int acceptAll(struct nfq_q_handle *qh, struct nfgenmsg *, struct nfq_data *nfa, void *) {
  struct nfqnl_msg_packet_hdr *header = nfq_get_msg_packet_hdr(nfa);
  uint32_t id = header ? ntohl(header->packet_id) : 0;
  return nfq_set_verdict2(qh, id, NF_ACCEPT, 0, 0, nullptr);
}

int main(int argc, char **argv) {
  if (argc != 2) {
    printf("usage: %s <queue id> (accept-all NFQUEUE program used by bench/nfq)\n", argv[0]);
    return 0;
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
  struct nfq_q_handle *qh = nfq_create_queue(h, static_cast<uint16_t>(atoi(argv[1])), acceptAll, nullptr);
  if (!qh) {
    fprintf(stderr, "cannot bind queue %s\n", argv[1]);
    return 1;
  }
  nfnl_rcvbufsiz(nfq_nfnlh(h), 536870912);
  nfq_set_mode(qh, NFQNL_COPY_PACKET, 0xFFFF);
  nfq_set_queue_maxlen(qh, 4096);
  printf("accepting on queue %s\n", argv[1]);
  fflush(stdout);

  int fd = nfq_fd(h);
  std::vector<char> buffer(0xFFFF + 65536);
  while (running) {
    fd_set mask;
    FD_ZERO(&mask);
    FD_SET(fd, &mask);
    struct timeval wait = {1, 0};
    if (select(fd + 1, &mask, nullptr, nullptr, &wait) <= 0) continue;
    ssize_t len = recv(fd, buffer.data(), buffer.size(), 0);
    if (len < 0) continue;  // ENOBUFS and EINTR: keep serving
    nfq_handle_packet(h, buffer.data(), static_cast<int>(len));
  }
  nfq_destroy_queue(qh);
  nfq_close(h);
  return 0;
}
