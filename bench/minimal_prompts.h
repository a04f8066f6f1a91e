/* What minimal_client and minimal_client_tls share: cardpost's prompts, the record
 * filled from the answers, and the lines printed before it is sent. */
#ifndef MINIMAL_PROMPTS_H
#define MINIMAL_PROMPTS_H

#include <stdio.h>
#include <string.h>

static void read_text(char *field)
{
    char line[256];
    if (fgets(line, sizeof line, stdin) != NULL) memcpy(field, line, strnlen(line, 29));
}

/* Asks for the record (62 bytes, zero-filled by the caller) as cardpost does. */
static void ask_record(char *record)
{
    int age = 0;
    puts("Conexion Establecida");
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
}

#endif
