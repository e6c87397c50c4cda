function make(varargin)
%MAKE  Build the Quorv plug-ins quorv_train and quorv_perf and the model gateway.
%   MAKE, run in this folder at the MATLAB or the GNU Octave prompt, compiles
%   both plug-ins and quorv_model_mex (the core library's model file, scaling,
%   draws and classification rule, which QUORV_FIT, QUORV_PREDICT,
%   QUORV_READ_MODEL and QUORV_WRITE_MODEL call) into this folder with the
%   host's own tool: mex in MATLAB, mkoctfile --mex in Octave.
%
%   MAKE -outdir DIR puts them into DIR instead, together with copies of the
%   help files, the model functions, QUORV_DATA, QUORV_DEMO and data/iris.csv,
%   so that DIR works on its own.
%
%   Any other argument goes to the compiler tool unchanged, for example
%      make -v          (show the compiler's command lines)
%      make -g          (debugging information)
%
%   From a shell:  cd matlab && octave-cli --eval make
%
%   See also QUORV_TRAIN, QUORV_PERF, QUORV_DEMO.

here = fileparts(mfilename('fullpath'));
root = fileparts(here);
[outdir, extra] = split_outdir(varargin, here);
if ~exist(outdir, 'dir')
  mkdir(outdir);
end

[core, train, perf] = plugin_sources();
[front, gateway] = gateway_sources();
% Name, own sources, and whether the plug-ins' core is linked in.
plugins = {'quorv_train', train, true; 'quorv_perf', perf, true; ...
           'quorv_model_mex', [front, gateway], false};
[cxx, ld, defines] = plugin_flags();
defines = [{['-I' root]}, defines];

if exist('OCTAVE_VERSION', 'builtin') ~= 0
  build_octave(root, outdir, core, plugins, cxx, ld, defines, extra);
else
  build_matlab(root, outdir, core, plugins, cxx, ld, defines, extra);
end

if ~same_folder(outdir, here)
  % What the help examples and the demo need, so that the folder works alone.
  for name = [{'quorv_train', 'quorv_perf', 'quorv'}, model_functions(), {'quorv_data', 'quorv_demo'}]
    copyfile(fullfile(here, [name{1} '.m']), outdir);
  end
  if ~exist(fullfile(outdir, 'data'), 'dir')
    mkdir(fullfile(outdir, 'data'));
  end
  copyfile(fullfile(root, 'data', 'iris.csv'), fullfile(outdir, 'data'));
end
end

function [core, train, perf] = plugin_sources()
% Paths from the project root. Keep in step with the top CMakeLists.txt: a
% ctest test compares the two lists.
core = {'host/convert.cpp', 'host/args.cpp', 'host/clock.cpp', 'model/node.cpp', ...
        'model/node_list.cpp', 'model/cores.cpp', 'model/search.cpp', ...
        'model/threads.cpp', 'model/prepared.cpp', 'model/search/config.cpp', 'model/search/tiles.cpp', ...
        'model/search/look_ahead.cpp', 'model/search/journal.cpp', 'model/search/grouping.cpp', ...
        'model/search/grouped_query.cpp', 'model/search/scheduler.cpp', 'model/search/node_block.cpp', ...
        'model/search/kernels_scalar.cpp', 'model/search/kernels_avx2.cpp', ...
        'model/search/kernels_avx512.cpp', 'resources/version_stamp.cpp'};
train = {'train/train_entry.cpp', 'train/run_training.cpp', 'model/search/plugin_config.cpp'};
perf = {'perf/perf_entry.cpp', 'perf/run_performance.cpp', 'model/search/plugin_config.cpp'};
end

function [front, gateway] = gateway_sources()
% The core library (as the quorv_front target lists it; a ctest test compares
% the two) and the gateway that binds it for the model functions.
front = {'front/classes.cpp', 'front/draws.cpp', 'front/files.cpp', 'front/forest.cpp', ...
         'front/gzip.cpp', 'front/merge.cpp', 'front/missing.cpp', 'front/model.cpp', 'front/model_reader.cpp', ...
         'front/model_rows.cpp', 'front/model_settings.cpp', 'front/numbers.cpp', 'front/oob.cpp', 'front/policy.cpp', ...
         'front/scaling.cpp', 'front/tally.cpp', 'front/text.cpp', 'front/vote.cpp'};
gateway = {'matlab/quorv_model_mex.cpp', 'matlab/mex_arrays.cpp', 'matlab/mex_model.cpp', ...
           'matlab/mex_classify.cpp', 'matlab/mex_training.cpp', 'model/cores.cpp'};
end

function names = model_functions()
names = {'quorv_fit', 'quorv_predict', 'quorv_read_model', 'quorv_write_model'};
end

function flags = isa_flags(source, gnu_x86)
% The search's vector kernels: each of these files alone is built for its
% instruction set (with GCC or Clang on x86-64; elsewhere they build without
% kernels, and the search runs its plain ones). As in the top CMakeLists.txt.
flags = '';
if gnu_x86
  switch source
    case 'model/search/kernels_avx2.cpp'
      flags = '-mavx2 -mfma';
    case 'model/search/kernels_avx512.cpp'
      flags = '-mavx512f -mavx2 -mfma';
  end
end
end

function yes = x86_64_host()
arch = computer();
yes = ~isempty(strfind(arch, 'x86_64')) || any(strcmp(computer('arch'), {'glnxa64', 'maci64', 'win64'}));
end

function [cxx, ld, defines] = plugin_flags()
% The flags GCC and Clang need, on top of the host's own: the language level,
% no fused multiply-adds (results are fixed to the last bit) and -pthread (the
% search runs on threads). Octave and current MATLAB have no flop counter for
% plug-ins. The Octave package's Makefile is made from these three lines.
cxx = {'-std=c++17', '-ffp-contract=off', '-pthread'};
ld = {'-pthread'};
defines = {'-DQUORV_NO_HOST_FLOPS'};
end

function build_octave(root, outdir, core, plugins, cxx, ld, defines, extra)
% mkoctfile leaves objects beside their sources unless told otherwise, so each
% file is compiled into a scratch folder inside outdir, removed afterwards.
objdir = fullfile(outdir, 'quorv_objects');
if ~exist(objdir, 'dir')
  mkdir(objdir);
end
old_flags = {getenv('CXXFLAGS'), getenv('LDFLAGS')};
% mkoctfile -p reports an inherited CXXFLAGS and LDFLAGS, so user flags are
% kept.
flags = strjoin([{strtrim(mkoctfile('-p', 'CXXFLAGS'))}, cxx], ' ');
setenv('CXXFLAGS', flags);
setenv('LDFLAGS', strjoin([{strtrim(mkoctfile('-p', 'LDFLAGS'))}, ld], ' '));
cleanup = onCleanup(@() restore(old_flags, objdir));
fprintf('CXXFLAGS="%s"\nLDFLAGS="%s"\n', getenv('CXXFLAGS'), getenv('LDFLAGS'));

core_objects = compile_octave(root, objdir, core, defines, extra, flags);
for k = 1:size(plugins, 1)
  objects = compile_octave(root, objdir, plugins{k, 2}, defines, extra, flags);
  if plugins{k, 3}
    objects = [core_objects, objects]; %#ok<AGROW>
  end
  run_tool('mkoctfile', [{'--mex', '-o', fullfile(outdir, [plugins{k, 1} '.mex'])}, objects, extra]);
end
end

function objects = compile_octave(root, objdir, sources, defines, extra, flags)
% mkoctfile compiles with GCC or Clang; a file with flags of its own gets
% them added to CXXFLAGS for its compilation alone.
gnu_x86 = x86_64_host();
objects = cell(1, numel(sources));
for k = 1:numel(sources)
  [~, name] = fileparts(sources{k});
  objects{k} = fullfile(objdir, [name '.o']);
  setenv('CXXFLAGS', strtrim([flags ' ' isa_flags(sources{k}, gnu_x86)]));
  run_tool('mkoctfile', [{'--mex', '-c', fullfile(root, sources{k}), '-o', objects{k}}, defines, extra]);
end
setenv('CXXFLAGS', flags);
end

function restore(old_flags, objdir)
setenv('CXXFLAGS', old_flags{1});
setenv('LDFLAGS', old_flags{2});
if exist(objdir, 'dir')
  confirm_recursive_rmdir(false, 'local');
  rmdir(objdir, 's');
end
end

function build_matlab(root, outdir, core, plugins, cxx, ld, defines, extra)
% mex compiles in a temporary folder of its own. MSVC needs only the language
% level (its default x64 code has no fused multiply-adds, and its threads need
% no flag).
cc = mex.getCompilerConfigurations('C++', 'Selected');
if isempty(cc)
  error('make: no C++ compiler is set up for mex; run "mex -setup C++" first.');
end
if ~ispc || ~isempty(strfind(lower(cc(1).ShortName), 'mingw'))
  flags = {strjoin([{'CXXFLAGS=$CXXFLAGS'}, cxx], ' '), strjoin([{'LDFLAGS=$LDFLAGS'}, ld], ' ')};
else
  flags = {'COMPFLAGS=$COMPFLAGS /std:c++17'};
end
% Files with flags of their own (GCC or Clang only) are compiled on their own
% into a scratch folder, and their objects linked into both plug-ins.
gnu_x86 = x86_64_host() && numel(flags) == 2;
own = cellfun(@(s) ~isempty(isa_flags(s, gnu_x86)), core);
objects = {};
if any(own)
  objdir = tempname();
  mkdir(objdir);
  cleanup = onCleanup(@() rmdir(objdir, 's'));
  for source = core(own)
    isa = {strrep(flags{1}, 'CXXFLAGS=$CXXFLAGS', ['CXXFLAGS=$CXXFLAGS ' isa_flags(source{1}, gnu_x86)])};
    run_tool('mex', [{'-c', '-outdir', objdir}, isa, defines, {fullfile(root, source{1})}, extra]);
    [~, name] = fileparts(source{1});
    found = dir(fullfile(objdir, [name '.o*']));
    objects{end + 1} = fullfile(objdir, found(1).name); %#ok<AGROW>
  end
end
for k = 1:size(plugins, 1)
  own_sources = plugins{k, 2};
  linked = {};
  if plugins{k, 3}
    own_sources = [core(~own), own_sources];
    linked = objects;
  end
  sources = cellfun(@(s) fullfile(root, s), own_sources, 'UniformOutput', false);
  run_tool('mex', [{'-outdir', outdir, '-output', plugins{k, 1}}, flags, defines, sources, linked, extra]);
end
end

function run_tool(tool, args)
quoted = args;
for k = 1:numel(quoted)
  if any(quoted{k} == ' ')
    quoted{k} = ['"' quoted{k} '"'];
  end
end
fprintf('%s %s\n', tool, strjoin(quoted, ' '));
feval(tool, args{:});
end

function [outdir, rest] = split_outdir(args, default)
outdir = default;
rest = {};
k = 1;
while k <= numel(args)
  if strcmp(args{k}, '-outdir')
    if k == numel(args)
      error('make: -outdir needs a folder name.');
    end
    outdir = args{k + 1};
    k = k + 2;
  else
    rest{end + 1} = args{k}; %#ok<AGROW>
    k = k + 1;
  end
end
end

function same = same_folder(a, b)
% Compare the folders themselves, however they were spelled.
old = pwd;
back = onCleanup(@() cd(old));
cd(a);
a = pwd;
cd(b);
b = pwd;
same = strcmp(a, b);
end
