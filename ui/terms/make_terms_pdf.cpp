// Writes Quillmark's terms-of-use document, the PDF that the program carries and opens.
#include <QGuiApplication>
#include <QPdfWriter>
#include <QTextDocument>
#include <cstdio>

namespace {

const char* const kTerms = R"(
<h1 style="color:#c2410c">Quillmark &mdash; Terms of Use</h1>
<p><i>Please read these terms before you use Quillmark. By using the program you accept them.</i></p>

<h3>1. What Quillmark is</h3>
<p>Quillmark is a free utility that copies folders from a source to a target (backup) or
between two folders in both directions (synchronisation). You may use it at home and at work,
and you may give unchanged copies of it to others free of charge.</p>

<h3>2. Your data stay yours</h3>
<p>Quillmark works only on the folders that you name in your profiles. It does not send
anything anywhere: it uses no network, collects no information about you and shows no
advertising. Your profiles are kept in a plain text file, <tt>quillmark.txt</tt>, in the folder
from which you start the program.</p>

<h3>3. Check your backups</h3>
<p>A backup is only as good as your last check of it. Read the run log after every run, look at
the status of each profile, and now and then open a few files in the target folder. Keep at
least one backup on a separate drive, and keep important data in more than one place.</p>

<h3>4. Synchronisation writes both ways</h3>
<p>In synchronisation mode Quillmark copies newer files from the source to the target and then
from the target back to the source. A file that you changed by mistake on one side will be
copied to the other. Choose synchronisation only for folders that you mean to keep identical.</p>

<h3>5. No warranty</h3>
<p>Quillmark is provided &ldquo;as is&rdquo;, without warranty of any kind, express or implied,
including fitness for a particular purpose. In no event shall its authors be liable for any
loss of data, loss of profit or other damage arising from the use of, or the inability to use,
the program, even if they have been told that such damage is possible.</p>

<h3>6. Changes</h3>
<p>These terms may change with a new version of the program. The terms that come with the
version you use are the ones that apply to it.</p>
)";

} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_terms_pdf OUTPUT.pdf\n");
        return 2;
    }
    QPdfWriter writer(QString::fromLocal8Bit(argv[1]));
    writer.setTitle(QStringLiteral("Quillmark - Terms of Use"));
    writer.setCreator(QStringLiteral("Quillmark"));
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(22, 22, 22, 22), QPageLayout::Millimeter);
    writer.setResolution(300);

    QTextDocument document;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSizeF(10.5);
    document.setDefaultFont(font);
    document.setHtml(QString::fromUtf8(kTerms));
    document.print(&writer); // lays the text out on as many pages as it needs
    return 0;
}
