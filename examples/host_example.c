/* host_example.c — a small host program embedding the vorel library: it starts
 * the server, stores a value through the host API, reads it back over the wire
 * as any client would, and stops the server.
 *
 * usage: host_example [port]      (default 7379) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET sock_t;
#define close_socket closesocket
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int sock_t;
#define close_socket close
#endif

#include "vorel.h"

/* Sends one GET request in the multibulk form and reads the reply. */
static int get_over_the_wire(int port, const char* key, char* reply, size_t size) {
    struct sockaddr_in addr;
    char request[256];
    size_t got = 0;
    sock_t s = socket(AF_INET, SOCK_STREAM, 0);
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, (struct sockaddr*)&addr, sizeof(addr)) != 0) return -1;
    snprintf(request, sizeof(request), "*2\r\n$3\r\nGET\r\n$%u\r\n%s\r\n", (unsigned)strlen(key), key);
    send(s, request, (int)strlen(request), 0);
    /* The reply "$5\r\nhello\r\n" ends with its second line end. */
    while (got + 1 < size) {
        int n = (int)recv(s, reply + got, (int)(size - 1 - got), 0);
        if (n <= 0) break;
        got += (size_t)n;
        reply[got] = '\0';
        if (got >= 2 && strstr(reply, "\r\n") != NULL && strstr(strstr(reply, "\r\n") + 2, "\r\n") != NULL) break;
    }
    reply[got] = '\0';
    close_socket(s);
    return 0;
}

int main(int argc, char** argv) {
    int port = argc > 1 ? atoi(argv[1]) : 7379;
    char reply[256];
#ifdef _WIN32
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
    if (vorel_server_start(port, NULL, 64, NULL) != 0) {
        fprintf(stderr, "start failed: %s\n", vorel_last_error());
        return 1;
    }
    printf("vorel %s running on port %d\n", vorel_version(), port);
    vorel_set_value("greeting", "hello", 0);
    printf("key info: %s\n", vorel_key_info("greeting"));
    if (get_over_the_wire(port, "greeting", reply, sizeof(reply)) != 0 || strcmp(reply, "$5\r\nhello\r\n") != 0) {
        fprintf(stderr, "unexpected reply over the wire: %s\n", reply);
        vorel_server_stop();
        return 1;
    }
    printf("GET greeting over the wire: hello\n");
    printf("stats: %s\n", vorel_get_stats_json());
    vorel_server_stop();
    return 0;
}
