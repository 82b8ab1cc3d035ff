#include "tests/support/mail_dkim.h"

#include <vector>

namespace quellsig::testutil {
namespace {

const char kVerify[] = R"PERL(
use strict;
use warnings;
use Mail::DKIM::Verifier;
use Mail::DKIM::DNS;
use Net::DNS::Resolver;
my ($ns, $port, $file) = @ARGV;
Mail::DKIM::DNS::resolver(Net::DNS::Resolver->new(nameservers => [$ns], port => $port,
                                                  recurse => 0, retry => 1, udp_timeout => 5));
open(my $in, '<', $file) or die "open $file: $!";
binmode $in;
my $dkim = Mail::DKIM::Verifier->new();
$dkim->PRINT(do { local $/; <$in> });
$dkim->CLOSE;
print $dkim->result, "\n", ($dkim->result_detail // ''), "\n";
)PERL";

}  // namespace

Result<ProgramResult> mailDkimVerify(std::string_view path, std::string_view nameserver,
                                     std::uint16_t port, std::string_view cwd) {
  const std::vector<std::string> argv = {"/usr/bin/perl",         "-e",
                                         kVerify,                 std::string(nameserver),
                                         std::to_string(port),    std::string(path)};
  return runProgram(argv, cwd);
}

}  // namespace quellsig::testutil
