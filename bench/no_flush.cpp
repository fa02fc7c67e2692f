// Loaded into morvane with LD_PRELOAD by bench/run.sh to time applying without the flush to
// stable storage: fsync and fdatasync return at once. Only a measuring instrument; the
// program itself always flushes.
extern "C" int fsync(int) {
    return 0;
}
extern "C" int fdatasync(int) {
    return 0;
}
