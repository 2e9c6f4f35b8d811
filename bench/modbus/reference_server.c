/*
 * reference_server.c - a Modbus/TCP server on libmodbus, the yardstick for the
 * card's slave: 2000 input registers, any number of clients through select().
 *
 *   reference_server PORT
 */
#include <errno.h>
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", atoi(argv[1]));
    modbus_mapping_t* map = modbus_mapping_new(0, 2000, 1000, 2000);
    if (!ctx || !map)
        return 1;
    for (int i = 0; i < 2000; ++i)
        map->tab_input_registers[i] = (uint16_t)i;
    int server = modbus_tcp_listen(ctx, 64);
    if (server < 0) {
        fprintf(stderr, "listen: %s\n", modbus_strerror(errno));
        return 1;
    }
    fd_set all;
    FD_ZERO(&all);
    FD_SET(server, &all);
    int maxfd = server;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        fd_set rd = all;
        if (select(maxfd + 1, &rd, NULL, NULL, NULL) < 0)
            return 1;
        for (int fd = 0; fd <= maxfd; ++fd) {
            if (!FD_ISSET(fd, &rd))
                continue;
            if (fd == server) {
                int c = accept(server, NULL, NULL);
                if (c >= 0 && c < FD_SETSIZE) {
                    FD_SET(c, &all);
                    if (c > maxfd)
                        maxfd = c;
                } else if (c >= 0) {
                    close(c);
                }
                continue;
            }
            modbus_set_socket(ctx, fd);
            int n = modbus_receive(ctx, query);
            if (n > 0) {
                modbus_reply(ctx, query, n, map);
            } else if (n < 0) {
                close(fd);
                FD_CLR(fd, &all);
            }
        }
    }
}
