function post_install(desc)
% Octave shows a compiled function's help from the .m file of the same name
% in its own folder: move the help files to where pkg put the plug-ins.
for name = {'quorv_train', 'quorv_perf'}
  built = dir(fullfile(desc.archprefix, '*', [name{1} '.mex']));
  if numel(built) ~= 1
    error('quorv: %s.mex was not installed', name{1});
  end
  [ok, msg] = movefile(fullfile(desc.dir, [name{1} '.m']), built.folder);
  if ~ok
    error('quorv: cannot move the help file %s.m: %s', name{1}, msg);
  end
end
end
