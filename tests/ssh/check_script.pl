#!/usr/bin/perl
# check_script.pl EXPECTED SCRIPT [EVERY]: passes when SCRIPT is exactly one statement for each
# "user password" line of EXPECTED, in the same order, and the hash of every EVERY-th statement
# (default: each one) verifies against its line's password.
#
# Verification goes through perl's crypt(), which is libxcrypt's crypt on Debian: the same library
# and scheme credbatch hashes with. A cost-10 check takes as long as a hash, so the checks are
# shared among as many processes as there are cores.
use strict;
use warnings;

my ($expected_path, $script_path, $every) = @ARGV;
die "usage: check_script.pl EXPECTED SCRIPT [EVERY]\n" unless defined $script_path;
$every //= 1;

sub lines_of {
    my ($path) = @_;
    open my $fh, '<:raw', $path or die "cannot read $path: $!\n";
    my @lines = <$fh>;
    chomp @lines;
    return @lines;
}

my @expected = map { [split / /, $_, 2] } lines_of($expected_path);
my @statements = lines_of($script_path);
my @faults;

if (@statements != @expected) {
    push @faults, scalar(@statements) . " statements for " . scalar(@expected) . " users";
}
my @to_verify;
for my $i (0 .. $#statements) {
    my $statement = $statements[$i];
    my ($user, $password) = @{$expected[$i] // ['(none)', '']};
    unless ($statement =~ /\AUPDATE DT511 SET DI059177 = '(\$2a\$10\$[.\/A-Za-z0-9]{53})' WHERE DI010323 = '((?:[^']|'')*)';\z/) {
        push @faults, "statement " . ($i + 1) . " is malformed: $statement";
        next;
    }
    my ($hash, $literal) = ($1, $2);
    $literal =~ s/''/'/g;
    if ($literal ne $user) {
        push @faults, "statement " . ($i + 1) . " is for '$literal', expected '$user'";
        next;
    }
    push @to_verify, [$i + 1, $password, $hash] if $i % $every == 0;
}
if (@faults) {
    print STDERR "check_script: $_\n" for @faults[0 .. ($#faults < 9 ? $#faults : 9)];
    exit 1;
}

chomp(my $workers = `nproc` || 2);
my @pids;
for my $worker (0 .. $workers - 1) {
    my $pid = fork // die "fork: $!\n";
    if ($pid == 0) {
        my $bad = 0;
        for (my $k = $worker; $k < @to_verify; $k += $workers) {
            my ($number, $password, $hash) = @{$to_verify[$k]};
            if ((crypt($password, $hash) // '') ne $hash) {
                print STDERR "check_script: the hash of statement $number does not verify\n";
                $bad = 1;
            }
        }
        exit $bad;
    }
    push @pids, $pid;
}
my $failed = 0;
for my $pid (@pids) {
    waitpid $pid, 0;
    $failed ||= $? != 0;
}
exit($failed ? 1 : 0);
