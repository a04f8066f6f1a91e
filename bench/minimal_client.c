/* minimal_client: the same exchange as cardpost (connect to ::1 port 8000, three
 * prompts, one 62-byte record, the same output), written as plainly as C allows and
 * linked as cardpost is, dynamically and without OpenSSL: the floor for a whole record
 * client process. */
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static void read_text(char *field)
{
    char line[256];
    if (fgets(line, sizeof line, stdin) != NULL) memcpy(field, line, strnlen(line, 29));
}

int main(void)
{
    struct sockaddr_in6 address = {.sin6_family = AF_INET6, .sin6_port = htons(8000),
                                   .sin6_addr = IN6ADDR_LOOPBACK_INIT};
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd == -1 || connect(fd, (struct sockaddr *)&address, sizeof address) == -1) {
        perror("minimal_client");
        return 2;
    }
    puts("Conexion Establecida");
    char record[62] = {0};
    int age = 0;
    puts("Escribe un nombre");
    read_text(record);
    puts("Escrbe un apellido");
    read_text(record + 30);
    puts("Escribe la edad");
    if (scanf("%d", &age) != 1) age = 0;
    record[60] = (char)(age >> 8);
    record[61] = (char)age;
    printf("\nEnviendo estructura con 62 bytes, datos:\nNombre: %s\nApellido: %s\nEdad: %d\n",
           record, record + 30, (unsigned char)record[60] << 8 | (unsigned char)record[61]);
    ssize_t written = write(fd, record, sizeof record);
    printf("\nSe enviaron: %zd bytes\n", written);
    close(fd);
    return written == (ssize_t)sizeof record ? 0 : 1;
}
