/* The HTTP dissector's per-flow state, for the dissector and the tests
 * that set up a flow in the middle of an exchange. */
#ifndef OXLO_HTTP_PRIVATE_H
#define OXLO_HTTP_PRIVATE_H

#include <stdint.h>

/* What the dissector keeps of an HTTP flow. */
struct http_state {
    uint32_t method;       /* request method id, 0 none */
    uint16_t response_code;
    uint8_t http11;
    uint8_t conversation;  /* 0 none, 1/2 request in dir 0/1, 3/4 response first in dir 0/1 */
    uint8_t repeated;      /* new messages in the same direction, stops at 2 */
    uint8_t websocket, form_urlencoded, second_message, request_direction;
    char *url, *request_content_type, *response_content_type, *server, *referer, *forwarded, *host, *username,
        *password, *os, *filename; /* owned */
    /* 1 + direction while a request's header block is still arriving (the
     * stream keeps it for the next call), else 0. */
    uint8_t request_waiting;
    /* The wait is on the start of a line that may still become a request
     * (a method not yet whole), not on a request already begun. */
    uint8_t prefix_waiting;
    /* Packets that only carried more of a waiting request: they are not
     * counted against the packet budget. */
    uint16_t waited_packets;
    /* Of the waiting request: where its next unread line starts in the view,
     * and the last Host it named so far (owned), kept in case the stream
     * has to drop the request before its header block ends. */
    uint32_t scan_from;
    char *waiting_host;
    /* 1 + direction while a response's header block is still arriving;
     * how many bytes of it were searched for its end so far. */
    uint8_t response_waiting;
    uint32_t response_scanned;
    /* 1 + direction while the body a message announced is still arriving:
     * where it starts in the view and how many of its bytes are read. */
    uint8_t body_waiting;
    uint8_t text_body; /* the response in process has a text body (form, text or JSON type) */
    uint8_t body_kind; /* what is checked on it (http.cpp's body_* bits) */
    uint32_t body_start, body_length;
    /* 1 + direction while a body of known length goes on: the stream
     * offset of its end. */
    uint8_t body_dir;
    uint32_t body_end;
    /* The packet's line table points into the stream's view (its copy
     * failed): it must be forgotten when the call ends. */
    uint8_t lines_borrowed;
    /* The flow's payload packets when a 101 answer switched protocols. */
    uint16_t switch_packet;
    /* The call in process asked the stream to keep its view. */
    uint8_t asked;
};

/* Frees what the state owns (its texts). */
void oxlo_http_state_release(void *state);

#endif
