/* Calls that need no service: the library is linked and loads, and every call the header
 * declares is there. */
#include <TulvoCli.h>

#include <stddef.h>
#include <string.h>

int main(void) {
    uint8_t* l_puc_Buffer = NULL;
    TulvoCli_Connection* l_px_None = NULL;
    TulvoCli_FreeBuffer(&l_puc_Buffer);
    return TulvoCli_Disconnect(&l_px_None) == TULVO_BAD_PARAMETER &&
                   strcmp(TulvoStatus_Name(TULVO_BAD_PARAMETER), "TULVO_BAD_PARAMETER") == 0
               ? 0
               : 1;
}
