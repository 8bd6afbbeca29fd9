#pragma once
// Where the tests find the table corpus and the built command-line program. The locations come
// from the build (compile definitions of the test programs), so include this only there.

#include <string>

#ifndef TAVRINTH_CORPUS_DIR
#error "TAVRINTH_CORPUS_DIR is not defined: include test_paths.h only in test programs"
#endif

namespace tavrinth::test {

inline std::string corpusDir() { return TAVRINTH_CORPUS_DIR; }
inline std::string paradoxCorpus(const std::string& relative) { return corpusDir() + "/paradox/" + relative; }
inline std::string dbaseCorpus(const std::string& relative) { return corpusDir() + "/dbase/" + relative; }
inline std::string cliPath() { return TAVRINTH_CLI; }

}  // namespace tavrinth::test
