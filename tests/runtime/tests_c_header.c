/* Compiled as C: the public headers must stay C-compatible. */
#include <kv/kv.h>
#ifdef HAVE_ZERVCRYPTO
#include <zervcrypto.h>
#endif

#include <stdio.h>
#include <string.h>

int main(void)
{
    char buffer[8];
    unsigned position = 0;
    kv_file_t file;
    if (kv_str_to(buffer, "abc", sizeof buffer, &position) != 0 || position != 3 || strcmp(buffer, "abc") != 0) {
        fprintf(stderr, "kv_str_to from C failed\n");
        return 1;
    }
    kv_file_init(&file);
    if (kv_file_valid(&file)) {
        fprintf(stderr, "kv_file_init left the handle open\n");
        return 1;
    }
    {
        /* The string, UTF, sync and time families from C. */
        kv_mutex_t mutex;
        kv_timeval_t a = { 2, 0 }, b = { 1, 999999 };
        const kv_wchar_t wide[] = { 0x41, 0 };
        if (kv_str_ahtoi("0x10") != 16 || kv_utf16_len(wide) != 1 || kv_time_get_usec_diff(&a, &b) != 1
            || kv_mutex_init(&mutex) != 0 || kv_mutex_acquire(&mutex) != 0 || kv_mutex_release(&mutex) != 0
            || kv_mutex_destroy(&mutex) != 0) {
            fprintf(stderr, "string, UTF, sync or time family from C failed\n");
            return 1;
        }
    }
    {
        /* The file family from C: kv_file_basename hands back a char*. */
        char path[] = "/a/b/name";
        char* base = NULL;
        if (kv_file_basename(path, &base) != 0 || base != path + 5) {
            fprintf(stderr, "kv_file_basename from C failed\n");
            return 1;
        }
    }
#ifdef HAVE_ZERVCRYPTO
    {
        zervcrypto_file_decrypt_t* state = zervcrypto_file_decrypt_init();
        if (!state || kv_file_valid(&state->file)) {
            fprintf(stderr, "zervcrypto_file_decrypt_init from C failed\n");
            return 1;
        }
        zervcrypto_file_decrypt_close(&state);
        if (state) {
            fprintf(stderr, "zervcrypto_file_decrypt_close left the pointer set\n");
            return 1;
        }
    }
#endif
    return 0;
}
