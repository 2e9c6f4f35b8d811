/*
 * client.c - the load generator of the Modbus benchmark: N connections, each
 * asking for COUNT input registers from START in a closed loop for SECONDS,
 * checking every answer's transaction id and length.
 *
 *   client HOST PORT CLIENTS SECONDS START COUNT
 * prints: "<answers> <errors> <requests per second>"
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static const char* g_host;
static int g_port, g_seconds, g_start, g_count;
static int g_next; /* connections made so far (atomic) */

struct result {
    long answers;
    long errors;
};

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static int read_full(int fd, unsigned char* buf, int n)
{
    int got = 0;
    while (got < n) {
        ssize_t r = recv(fd, buf + got, (size_t)(n - got), 0);
        if (r <= 0)
            return -1;
        got += (int)r;
    }
    return got;
}

static void* run(void* arg)
{
    struct result* res = arg;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((uint16_t)g_port)};
    inet_pton(AF_INET, g_host, &a.sin_addr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    /* The card keeps at most 32 connections per address: on loopback the
       connections come from eight source addresses, as a plant's masters would. */
    if (strncmp(g_host, "127.", 4) == 0) {
        char src[16];
        snprintf(src, sizeof src, "127.0.0.%d", 1 + __atomic_fetch_add(&g_next, 1, __ATOMIC_RELAXED) % 8);
        struct sockaddr_in s = {.sin_family = AF_INET};
        inet_pton(AF_INET, src, &s.sin_addr);
        bind(fd, (struct sockaddr*)&s, sizeof s);
    }
    if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) {
        res->errors++;
        close(fd);
        return NULL;
    }
    const int answer = 9 + 2 * g_count;
    unsigned char req[12], buf[300];
    double end = now() + g_seconds;
    for (unsigned tid = 1; now() < end; ++tid) {
        unsigned char r[12] = {(unsigned char)(tid >> 8), (unsigned char)tid, 0, 0, 0, 6, 1, 4,
                               (unsigned char)(g_start >> 8), (unsigned char)g_start,
                               (unsigned char)(g_count >> 8), (unsigned char)g_count};
        memcpy(req, r, sizeof req);
        if (send(fd, req, sizeof req, 0) != (ssize_t)sizeof req ||
            read_full(fd, buf, answer) != answer || buf[0] != req[0] || buf[1] != req[1]) {
            res->errors++;
            break;
        }
        res->answers++;
    }
    close(fd);
    return NULL;
}

int main(int argc, char** argv)
{
    if (argc < 7) {
        fprintf(stderr, "usage: %s HOST PORT CLIENTS SECONDS START COUNT\n", argv[0]);
        return 2;
    }
    g_host = argv[1];
    g_port = atoi(argv[2]);
    int clients = atoi(argv[3]);
    g_seconds = atoi(argv[4]);
    g_start = atoi(argv[5]);
    g_count = atoi(argv[6]);
    pthread_t* th = calloc((size_t)clients, sizeof *th);
    struct result* res = calloc((size_t)clients, sizeof *res);
    double t0 = now();
    for (int i = 0; i < clients; ++i)
        pthread_create(&th[i], NULL, run, &res[i]);
    long answers = 0, errors = 0;
    for (int i = 0; i < clients; ++i) {
        pthread_join(th[i], NULL);
        answers += res[i].answers;
        errors += res[i].errors;
    }
    double elapsed = now() - t0;
    printf("%ld %ld %.1f\n", answers, errors, answers / elapsed);
    return errors ? 1 : 0;
}
