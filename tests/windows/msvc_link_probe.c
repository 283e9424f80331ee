/* msvc_link_probe: linked the MSVC way (clang in MSVC mode, lld-link, no C
 * runtime) against velmora-imgwatermark.lib alone, to show the import
 * library is one MSVC's linker takes. Run beside the DLL it exits with 0 when
 * imgwatermark_init reports the font ready and the error text is empty. */
__declspec(dllimport) int imgwatermark_init(void);
__declspec(dllimport) const char *imgwatermark_last_error(void);

int probe_main(void) {
    if (imgwatermark_init() != 1) return 3;
    return imgwatermark_last_error()[0] == '\0' ? 0 : 4;
}
