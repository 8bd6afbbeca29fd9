/* pxlib-dump FILE: the records of a Paradox file (a table, or a secondary index file read as the
 * table it is) as pxlib reads them: a first line with the field names, then one line per
 * record, values joined by "|": texts as stored, integers, dates as day numbers, doubles with
 * 17 significant digits, "NULL" for a blank value. A reader we did not write, for the tests. */
#include <paradox.h>
#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: pxlib-dump FILE\n");
        return 2;
    }
    PX_boot();
    pxdoc_t* px = PX_new();
    if (PX_open_file(px, argv[1]) < 0) {
        fprintf(stderr, "pxlib cannot open %s\n", argv[1]);
        return 1;
    }
    const int records = PX_get_num_records(px), count = PX_get_num_fields(px);
    pxfield_t* fields = PX_get_fields(px);
    for (int i = 0; i < count; i++) printf("%s%s", i ? "|" : "", fields[i].px_fname);
    printf("\n");
    for (int r = 0; r < records; r++) {
        pxval_t** v = PX_retrieve_record(px, r);
        if (!v) {
            fprintf(stderr, "pxlib cannot read record %d of %s\n", r + 1, argv[1]);
            return 1;
        }
        for (int i = 0; i < count; i++) {
            if (i) printf("|");
            if (v[i]->isnull) {
                printf("NULL");
                continue;
            }
            switch (fields[i].px_ftype) {
                case pxfAlpha: printf("%s", v[i]->value.str.val); break;
                case pxfShort: case pxfLong: case pxfAutoInc: case pxfDate: case pxfLogical: case pxfTime:
                    printf("%ld", v[i]->value.lval);
                    break;
                default: printf("%.17g", v[i]->value.dval); break;
            }
        }
        printf("\n");
    }
    PX_close(px);
    return 0;
}
